// The US table and every keyboard layout Korvane has a table for, typed by
// the binary onto a FIFO standing in for the gadget and read back the way a
// PC with that layout reads it (the decoder compiles the layout from the installed database):
// every printable character the table says the layout types comes out as
// itself, the others are skipped without a key pressed, and the layout has
// no key for a character the table calls untypable.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "output/keyboard_layouts.h"
#include "support/e2e.h"
#include "support/xkb_decoder.h"

namespace {

const char kApplied[] = "Korvane: ConfigFileChanged(): Config file modifications applied\n";

std::string LayoutConfig(const std::string &datagrams, const char *layout) {
    std::string xml = ConfigXml(datagrams, "14007", "true");
    return xml.insert(xml.rfind("</KorvaneConfiguration>"),
                      std::string("  <KeyboardLayout>") + layout + "</KeyboardLayout>\n");
}

// Every key of the main block and the key left of Z with each of no
// modifier, Shift, AltGr and Shift+AltGr, each press followed by `then`.
std::vector<HidReportBytes> EveryKeyThen(uint8_t then) {
    std::vector<HidReportBytes> reports;
    for (uint8_t modifier : {0x00, 0x02, 0x40, 0x42}) {
        for (int usage = 0x04; usage <= 0x64; usage++) {
            if ((usage >= 0x28 && usage <= 0x2B) || usage == 0x32 || (usage > 0x38 && usage < 0x64))
                continue;
            reports.push_back(MakeHidReport(modifier, static_cast<uint8_t>(usage)));
            reports.push_back(MakeHidReport(0, 0));
            reports.push_back(MakeHidReport(0, then));
            reports.push_back(MakeHidReport(0, 0));
        }
    }
    return reports;
}

class KeyboardLayoutProcTest : public KorvaneE2eTest {};

TEST_F(KeyboardLayoutProcTest, EveryLayoutTypesEveryPrintableCharItHasAKeyFor) {
    int host = OpenGadgetFifo();
    ASSERT_GE(host, 0);
    std::string printable, hex;
    for (int c = kFirstPrintable; c < kFirstPrintable + static_cast<int>(kPrintableCount); c++) {
        printable += static_cast<char>(c);
        hex += "0123456789ABCDEF"[c >> 4];
        hex += "0123456789ABCDEF"[c & 15];
    }
    const std::string datagrams = "  <Datagrams>\n    <ComingText On=\"true\">{Hex=" + hex +
                                  "}{CR}</ComingText>\n  </Datagrams>\n";
    SaveConfig(ConfigXml(datagrams, "14007", "true"));
    ASSERT_NO_FATAL_FAILURE(StartKorvane({"-v"}));
    ASSERT_TRUE(WaitForCall("ASyncGetEPCs", 1, kArriveMs)) << korvane.Output();

    // Without the element korvane types with its US table, and a US PC reads
    // every character back (this also shows the decoder reads what it should).
    ASSERT_EQ(Reader("tags came epc=0001"), "OK");
    HidDecoder us;
    ASSERT_TRUE(ReadTypedText(host, &us, kArriveMs)) << us.Reports().size();
    const tXkbText usText = DecodeXkbReports("us", us.Reports());
    EXPECT_EQ(usText.error, "");
    EXPECT_EQ(usText.text, printable + "\r");
    EXPECT_EQ(us.Presses(), printable.size() + 1) << "a key pressed for nothing";

    ASSERT_GT(kKeyboardLayoutCount, 0u);
    for (size_t i = 0; i < kKeyboardLayoutCount; i++) {
        const tKeyboardLayout &layout = kKeyboardLayouts[i];
        SCOPED_TRACE(layout.name);
        // What the layout's own keys give: directly (a dead key then
        // Backspace gives nothing), or with a dead key then space.
        const tXkbText direct = DecodeXkbReports(layout.name, EveryKeyThen(0x2A));
        const tXkbText withDead = DecodeXkbReports(layout.name, EveryKeyThen(0x2C));
        ASSERT_EQ(direct.error + withDead.error, "");
        std::string typable;
        size_t presses = 1;  // and Enter
        for (size_t at = 0; at < kPrintableCount; at++) {
            const tLayoutChar &key = layout.chars[at];
            const char c = static_cast<char>(kFirstPrintable + at);
            if (key.key.usage != 0) {
                typable += c;
                presses += key.dead.usage != 0 ? 2 : 1;
                continue;
            }
            EXPECT_EQ(direct.text.find(c), std::string::npos) << "a key types '" << c << "'";
            if (c == '^' || c == '`' || c == '~') {
                EXPECT_EQ(withDead.text.find(c), std::string::npos)
                    << "a key, or a dead key then space, gives " << c;
            }
        }

        size_t applied = OutputCount(kApplied);
        SaveConfig(LayoutConfig(datagrams, layout.name));
        ASSERT_TRUE(WaitForOutputCount(kApplied, applied + 1, kArriveMs)) << korvane.Output();
        ASSERT_EQ(Reader("tags came epc=0001"), "OK");
        HidDecoder reports;
        ASSERT_TRUE(ReadTypedText(host, &reports, kArriveMs)) << reports.Reports().size();
        const tXkbText decoded = DecodeXkbReports(layout.name, reports.Reports());
        EXPECT_EQ(decoded.error, "");
        EXPECT_EQ(decoded.text, typable + "\r");
        EXPECT_EQ(reports.Presses(), presses) << "a key pressed for a char the layout cannot type";
    }
    close(host);
    StopKorvane();
}

}  // namespace
