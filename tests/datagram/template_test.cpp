// Templates: blocks, Coding= scope, Hex=, word texts, read settings, result flags.
#include "datagram/template.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "config/config.h"
#include "core/app.h"
#include "output/send.h"
#include "reader/tag.h"
#include "sync/lists.h"

namespace {

class TemplateTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetProcessState();
        FlagSet(KeyboardEmulationEnabled, 1);  // somebody listens: reads start, datagrams render
        for (tTag &tag : tags) {
            tag.event = 0xFF;
            for (uint16_t &word : tag.epc)
                word = 0x3333;
            tag.memoryData = memory;
            tag.dataLength = 2;
        }
        tTag &t0 = tags[0], &t1 = tags[1], &t2 = tags[2];
        t0.epcLength = 3, t0.epc[0] = 0x1111, t0.epc[1] = 0x2222, t0.epc[2] = 0x3333;
        t0.antenna = 0x21, t0.rssi = 255, t0.rssiDbm = -70, t0.pc = 0x3000, t0.xpcW1 = 0x1234;
        t0.xpcW2 = 0xABCD, t0.seenAt = 1704096309, t0.timestampMs = 1704096309123ull;
        t1.epcLength = 40, t1.antenna = 0xF0, t1.rssiDbm = -32768, t1.timestampMs = ~0ull;
        t1.seenAt = 0xFFFFFFFF, t1.readResult = 0x0B;
        t2.epcLength = 31, t2.rssiDbm = 32767, t2.readResult = 3, tags[3].event = 0x00;
        tags[4].dataLength = 0;
    }
    void TearDown() override { ResetProcessState(); }

    // Parses a template set (coming, going, start, ...) as the configuration
    // does, without a reader.
    tReaderCommand ParseSet(std::vector<const char *> texts) {
        char *copies[kTemplateCount] = {};
        for (size_t i = 0; i < texts.size(); i++)
            copies[i] = texts[i] != nullptr ? strdup(texts[i]) : nullptr;
        return ParseTemplateSet(copies, false);
    }

    // The datagram of tags[index] as queued for the keyboard.
    std::string Render(int index) {
        SendTagData(&tags[index], 0);
        std::string text;
        tData *data = nullptr;
        for (; KeyboardList.PopFront(data) == 0; FreeData(data))
            text.append(reinterpret_cast<char *>(data->buffer), data->length);
        return text;
    }

    uint16_t memory[2] = {0xAABB, 0xCCDD};
    tTag tags[5] = {};  // 3 is a going tag, 4 one without memory words
};

TEST_F(TemplateTest, EveryWordAndBlockRendersByteExact) {
    const std::string epc31(124, '3');  // the 31 words there are, of 0x3333
    const char *kBank = "{MemoryBank=3,Pointer=0,Length=4}{LF}";
    const char *kInfo =
        "{EPC};{AntennaPort}/{AntennaProperty};{RSSI};{RSSIDBM};{TimestampMS};{Timestamp}{LF}";
    const struct {
        const char *text;
        int tag;
        std::string expected;
    } cases[] = {
        {"{EPC}{TAB}{epc}|{ PC,,  RSSI}{CR}{LF}", 0, "333322221111\t333322221111|3000255\r\n"},
        {"{EPC }{}{ }{,}{EPCX}{LF=1}", 0, "{EPC }{}{ }{,}{EPCX}{LF=1}"},
        {"a{b{EPC}c{EPC", 0, "a{b333322221111c{EPC"},
        // A rejected block's words are removed and its text goes out literally.
        {"pre{EPC,Bogus}post{CR}", 0, "pre{EPC,Bogus}post\r"},
        {"x{EPC,Coding=0}y", 0, "x\x33\x33\x22\x22\x11\x11y"},
        {"{EPC}{XPC_W1}{PC,Coding=0}", 0, std::string("3333222211111234\x30\x00", 18)},
        {"{PC,Coding=2,XPC_W1}{Coding=0X3,XPC_W1}{Coding=03,PC}{Coding=08,XPC_W2}", 0,
         "L@D<FS>28Q0====6000====\xAB\xCD"},
        {"{Coding=2}{EPC,Coding=5}{EPC,Coding=-1}{PC,Coding=}{PC,Coding=4294967296}", 0,
         "{Coding=2}{EPC,Coding=5}{EPC,Coding=-1}{PC,Coding=}{PC,Coding=4294967296}"},
        {"{Hex=0x0d0a}|{Hex=3B}{Hex=0D0}{Hex=0G}{Hex= 0D}", 0, "\r\n|;{Hex=0D0}{Hex=0G}{Hex= 0D}"},
        {"{STX}{NUL}{Hex=00FF7f,Coding=0}{Hex=}|", 0, std::string("\x02\0\0\xFF\x7F|", 6)},
        {kInfo, 0, "333322221111;1/2;255;-70;1704096309123;2023-12-31 23:05:09\n"},  // UTC-9
        {kInfo, 1, epc31 + ";0/15;0;-32768;18446744073709551615;\n"},                // time unknown
        {kInfo, 2, epc31 + ";0/0;0;32767;0;1969-12-31 15:00:00\n"},
        {"{PC},{XPC_W1,Coding=2},{XPC_W2,Coding=4}{CR}", 0, "3000,D<FS>,1AUD\r"},
        {kBank, 0, "AABBCCDD\n"},
        {"{MemoryBank=3,Pointer=1,Length=2}{LF}", 0, "BBCC\n"},  // first and last byte skipped
        {"{MemoryBank=3,Pointer=0,Length=3,Coding=0}{LF}", 0, "\xAA\xBB\xCC\n"},
        {kBank, 1, "Error 0x0B\n"},
        {kBank, 2, "Error 0x03\n"},
        {"{Error=E: }{MemoryBank=3,Pointer=0,Length=4}{LF}", 1, "E: 0B\n"},
        {"[{MemoryBank=3,Pointer=0,Length=4}]", 4, "[]"},  // no words read
    };
    const char *zone = getenv("TZ");
    std::string savedZone = zone != nullptr ? zone : "";
    setenv("TZ", "KVT+9", 1);
    tzset();
    for (const auto &c : cases) {
        ParseSet({c.text, "-{EPC}{LF}"});
        EXPECT_EQ(c.expected, Render(c.tag)) << c.text << " for tag " << c.tag;
        EXPECT_EQ(c.expected, Render(c.tag)) << c.text << ", second datagram";
    }
    zone != nullptr ? setenv("TZ", savedZone.c_str(), 1) : unsetenv("TZ");
    tzset();
}

// The read and result flags the coming and going templates select (name
// bank:address:words/skips/password/flags), and the going datagram.
TEST_F(TemplateTest, ReadSettingsAndResultFlagsSelectTheReaderCommand) {
    const struct {
        const char *coming, *going, *goingDatagram, *command;
    } cases[] = {
        // clang-format off
        {"{MemoryBank=3,Pointer=0,Length=8}{RSSI}{TimestampMS}",
         "{MemoryBank=3,Pointer=0,Length=8}", "AABBCCDD", "ASyncReadDataAny 3:0:4/00/0/42"},
        {"{MemoryBank=3,Pointer=0,Length=8}", "{MemoryBank=3,Pointer=2,Length=8}",
         "{MemoryBank=3,Pointer=2,Length=8}", "ASyncReadDataAny 3:0:4/00/0/00"},
        {"{MemoryBank=0,Pointer=0,Length=4}", "{AntennaPort}|{Pointer=0,Length=4}", "0|",
         "ASyncReadDataAny 0:0:2/00/0/01"},
        {"{MemoryBank=3,Pointer=0,Length=4}", "{Pointer=0,Length=4}", "{Pointer=0,Length=4}",
         "ASyncReadDataAny 3:0:2/00/0/00"},
        {"{EPC}{AntennaProperty}{XPC_W1}", "{Pointer=0,Length=4}", "{Pointer=0,Length=4}",
         "ASyncGetEPCs 0:0:0/00/0/09"},
        {"{MemoryBank=1,Pointer=4,Length=2,Password=0xDEADBEEF}{PC}",  // later passwords dropped
         "{MemoryBank=1,Pointer=4,Length=2,Password=2}", "AABBCCDD",
         "ASyncReadDataAny 1:2:1/00/DEADBEEF/08"},
        {"{MemoryBank=2,Pointer=1,Length=0xFFFFFFFF}", "", "",
         "ASyncReadDataUntilEndOfBankAny 2:0:255/10/0/00"},
        {"{MemoryBank=3,Pointer=0x10,Length=0X08}", "", "", "ASyncReadDataAny 3:8:4/00/0/00"},
        {"{MemoryBank=3,Pointer=0xZZ,Length=3,Password=305419896}", "", "",
         "ASyncReadDataAny 3:0:2/01/12345678/00"},
        {"{MemoryBank=3,Pointer=1,Length=3}", "", "", "ASyncReadDataAny 3:0:2/10/0/00"},
        {"{MemoryBank=3,Pointer=3,Length=4}", "", "", "ASyncReadDataAny 3:1:3/11/0/00"},
        {"{MemoryBank=3,Pointer=0,Length=510}", "", "", "ASyncReadDataAny 3:0:255/00/0/00"},
        {"{MemoryBank=3,Pointer=1,Length=510}", "", "", "ASyncGetEPCs 0:0:0/00/0/00"},
        {"{MemoryBank=3,Pointer=0,Length=0}{MemoryBank=4,Pointer=0,Length=2}", "", "",
         "ASyncGetEPCs 0:0:0/00/0/00"},
        {"{MemoryBank=0x3,Pointer=0,Length=2}", "", "", "ASyncReadDataAny 0:0:1/00/0/00"},
        // Incomplete settings are not adopted; a block rejected for a later
        // word still adopts its complete ones.
        {"{MemoryBank=3,Pointer=0}", "{MemoryBank=3,Pointer=0,Length=2}", "AABBCCDD",
         "ASyncReadDataAny 3:0:1/00/0/00"},
        {"{EPC}", "{MemoryBank=3,Pointer=0,Length=2,Password=x}",
         "{MemoryBank=3,Pointer=0,Length=2,Password=x}", "ASyncReadDataAny 3:0:1/00/0/00"},
        // clang-format on
    };
    for (const auto &c : cases) {
        tReaderCommand command = ParseSet({c.coming, c.going, "{RSSIDBM}{Timestamp}"});
        tReaderCall call = PlanReaderCall(command.Settings);
        char text[100];
        snprintf(text, sizeof(text), "%s %u:%u:%u/%u%u/%X/%02X", call.Name, call.MemoryBank,
                 call.WordAddress, call.WordCount, call.SkipFirst, call.SkipLast, call.Password,
                 command.ExtendedResultFlags);
        EXPECT_EQ(c.command, std::string(text)) << c.coming << c.going;
        EXPECT_EQ(c.goingDatagram, Render(3)) << c.coming << c.going;
    }
}

}  // namespace
