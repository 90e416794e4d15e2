// Fuzz target: template parsing and datagram rendering with arbitrary
// templates and arbitrary tag records.
//
// Input: up to five templates separated by NUL bytes, in the order coming,
// going, start, heartbeat, stop (an empty one is absent). After the fifth NUL
// comes the tag record, field by field (missing bytes read as 0):
//   options(1) event(1) antenna(1) rssi(1) rssiDbm(2) pc(2) xpcW1(2) xpcW2(2)
//   epcLength(1) readResult(1) dataLength(1) seenAt(4) timestampMs(8)
// and then 16-bit words (little-endian): the 31 EPC words, then the
// dataLength memory words read (zero where the input ends). Option bits:
// 0 SkipFirstByte, 1 SkipLastByte, 2 parse the stored templates again and
// render once more, 3 render the tag datagrams in a batch, as the tag queue's
// consumer does.
//
// The templates become the stored template texts and are parsed by
// ParseStoredTemplates, as the poller does before it starts the reader. Then
// SendTagData renders the tag as coming, as going and with its own event, and
// the start, heartbeat and stop datagrams. ClientConnected is set with an
// empty client list, so everything renders and goes to no socket; keyboard
// emulation is on, so each datagram is queued on KeyboardList, where this
// target reads it back (nothing types it).
//
// Checked: the parsed elements are well-formed; a datagram is queued exactly
// when its template renders something, and it begins and ends with the
// template's literal text; words in text coding render the tag's values as
// the template language defines them; the control-byte words keep their byte
// across datagrams.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "config/config.h"
#include "datagram/magic_words.h"
#include "datagram/template.h"
#include "harness.h"
#include "output/keyboard.h"
#include "output/send.h"
#include "output/server.h"
#include "reader/tag.h"
#include "sync/data.h"
#include "sync/lists.h"

namespace {

// Reads the record's fields in order; bytes past the end read as 0.
class tFieldReader {
public:
    tFieldReader(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    uint64_t Take(int bytes) {
        uint64_t value = 0;
        for (int i = 0; i < bytes; i++, at_++) {
            if (at_ < size_) value |= static_cast<uint64_t>(data_[at_]) << (8 * i);
        }
        return value;
    }

private:
    const uint8_t *data_;
    size_t size_;
    size_t at_ = 0;
};

int SlotIndex(const char *name) {
    for (int i = 0; i < kMagicWordCount; i++) {
        if (strcmp(MagicWordTable[i].Name, name) == 0) return i;
    }
    FuzzCheckFailed(__FILE__, __LINE__, name, "a magic word is missing from the table");
}

std::string Formatted(const char *format, unsigned long long value) {
    char text[32];
    snprintf(text, sizeof(text), format, value);
    return text;
}

std::string HexWords(const uint16_t *words, uint32_t count, bool lastFirst) {
    std::string text;
    for (uint32_t i = 0; i < count; i++)
        text += Formatted("%04X", words[lastFirst ? count - 1 - i : i]);
    return text;
}

bool ListUsesSlot(CMyList<tDatagramElement *> &templateList, const tMagicWordSlot *slot,
                  bool textCodingOnly) {
    for (auto *node = templateList.Head(); node != nullptr; node = node->next) {
        const tDatagramElement *element = node->value;
        if (element->Kind == 1 && element->Content == slot &&
            (!textCodingOnly || element->Coding == 1)) {
            return true;
        }
    }
    return false;
}

CMyList<tDatagramElement *> *const kLists[kTemplateCount] = {
    &ComingTemplate, &GoingTemplate, &StartTemplate, &HeartbeatTemplate, &StopTemplate};
char **const kTexts[kTemplateCount] = {&ComingText, &GoingText, &StartText, &HeartbeatText,
                                       &StopText};

// The template SendTagData must use, or null when it sends nothing.
CMyList<tDatagramElement *> *ExpectedTemplate(const tTag *tag, uint32_t kind) {
    if (kind >= 1 && kind <= 3) return kLists[kind + 1];
    if (tag == nullptr) return nullptr;
    if (tag->event == 0xFF && ComingText != nullptr) return &ComingTemplate;
    if (tag->event == 0x00 && GoingText != nullptr) return &GoingTemplate;
    return nullptr;
}

// Words in text coding keep their text after the datagram: it must be the
// tag's value as the word defines it.
void CheckTextCodedWords(const tTag &tag, CMyList<tDatagramElement *> &templateList) {
    struct tExpectation {
        const char *word;
        std::string text;
    };
    uint32_t epcWords = tag.epcLength < 31 ? tag.epcLength : 31;
    const tExpectation expectations[] = {
        {"EPC", HexWords(tag.epc, epcWords, true)},
        {"PC", Formatted("%04X", tag.pc)},
        {"XPC_W1", Formatted("%04X", tag.xpcW1)},
        {"XPC_W2", Formatted("%04X", tag.xpcW2)},
        {"AntennaPort", Formatted("%llu", tag.antenna & 0x0Fu)},
        {"AntennaProperty", Formatted("%llu", tag.antenna >> 4)},
        {"RSSI", Formatted("%llu", tag.rssi)},
        {"RSSIDBM", std::to_string(tag.rssiDbm)},
        {"TimestampMS", Formatted("%llu", static_cast<unsigned long long>(tag.timestampMs))},
    };
    for (const tExpectation &expectation : expectations) {
        const tMagicWordSlot *slot = &MagicWordSlots[SlotIndex(expectation.word)];
        if (!slot->Used || slot->Text == nullptr) continue;
        if (!ListUsesSlot(templateList, slot, true)) continue;
        std::string text(reinterpret_cast<const char *>(slot->Text), slot->TextLength);
        FUZZ_CHECK(text == expectation.text, expectation.word);
    }
}

// The control-byte words make their byte when parsed; it must survive every
// datagram whatever the coding of the block.
void CheckFixedBytes() {
    static const struct {
        const char *word;
        uint8_t byte;
    } kFixed[] = {{"LF", 0x0A}, {"CR", 0x0D}, {"TAB", 0x09}, {"NUL", 0x00}, {"STX", 0x02}};
    for (const auto &fixed : kFixed) {
        const tMagicWordSlot *slot = &MagicWordSlots[SlotIndex(fixed.word)];
        bool used = false;
        for (CMyList<tDatagramElement *> *templateList : kLists)
            used = used || ListUsesSlot(*templateList, slot, false);
        if (!used) continue;
        FUZZ_CHECK(slot->Text != nullptr && slot->TextLength == 1 && slot->Text[0] == fixed.byte,
                   fixed.word);
    }
}

// Renders one datagram and checks what was queued for the keyboard.
void RenderAndCheck(const tTag *tag, uint32_t kind) {
    CMyList<tDatagramElement *> *expected = ExpectedTemplate(tag, kind);
    SendTagData(tag, kind);

    std::vector<std::string> queued;
    tData *text = nullptr;
    while (KeyboardList.PopFront(text) == 0) {
        queued.emplace_back(reinterpret_cast<const char *>(text->buffer), text->length);
        FreeData(text);
    }
    FUZZ_CHECK(queued.size() <= 1, "one datagram was queued more than once");
    if (expected == nullptr) {
        FUZZ_CHECK(queued.empty(), "a datagram without a template was sent");
        return;
    }
    CheckTemplateElements(*expected);

    std::string literals, first, last;
    for (auto *node = expected->Head(); node != nullptr; node = node->next) {
        const tDatagramElement *element = node->value;
        if (element->Kind != 0) continue;
        std::string literal(static_cast<const char *>(element->Content), element->Length);
        if (node == expected->Head()) first = literal;
        if (node->next == nullptr) last = literal;
        literals += literal;
    }
    if (queued.empty()) {
        FUZZ_CHECK(literals.empty(), "a template with text rendered nothing");
        return;
    }
    const std::string &datagram = queued[0];
    FUZZ_CHECK(!datagram.empty(), "an empty datagram was sent");
    FUZZ_CHECK(datagram.size() >= literals.size(), "a datagram lost literal text");
    FUZZ_CHECK(datagram.compare(0, first.size(), first) == 0,
               "a datagram does not begin with its template's literal");
    FUZZ_CHECK(datagram.size() >= last.size() &&
                   datagram.compare(datagram.size() - last.size(), last.size(), last) == 0,
               "a datagram does not end with its template's literal");
    if (tag != nullptr) CheckTextCodedWords(*tag, *expected);
    CheckFixedBytes();
}

// The tag as coming, going and with its own event, then the three reports;
// the first report comes inside the batch when there is one.
void RenderAll(tTag *tag, uint8_t ownEvent, bool batch) {
    if (batch) BeginDatagramBatch();
    tag->event = 0xFF;
    RenderAndCheck(tag, 0);
    tag->event = 0x00;
    RenderAndCheck(tag, 0);
    tag->event = ownEvent;
    RenderAndCheck(tag, 0);
    RenderAndCheck(nullptr, 1);
    if (batch) EndDatagramBatch();
    for (uint32_t kind = 2; kind <= 3; kind++)
        RenderAndCheck(nullptr, kind);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    InitKorvaneGlobals();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // The templates: C strings, so they end at the NULs between them.
    size_t at = 0;
    for (int i = 0; i < kTemplateCount; i++) {
        const uint8_t *end =
            at < size ? static_cast<const uint8_t *>(memchr(data + at, 0, size - at)) : nullptr;
        size_t length = (end != nullptr ? static_cast<size_t>(end - data) : size) - at;
        if (at < size && length != 0) {
            *kTexts[i] = strndup(reinterpret_cast<const char *>(data + at), length);
        }
        at = end != nullptr ? at + length + 1 : size;
    }

    tFieldReader fields(data + at, size - at);
    uint8_t options = static_cast<uint8_t>(fields.Take(1));
    uint8_t ownEvent = static_cast<uint8_t>(fields.Take(1));
    tTag tag{};
    tag.antenna = static_cast<uint8_t>(fields.Take(1));
    tag.rssi = static_cast<uint8_t>(fields.Take(1));
    tag.rssiDbm = static_cast<int16_t>(fields.Take(2));
    tag.pc = static_cast<uint16_t>(fields.Take(2));
    tag.xpcW1 = static_cast<uint16_t>(fields.Take(2));
    tag.xpcW2 = static_cast<uint16_t>(fields.Take(2));
    tag.epcLength = static_cast<uint8_t>(fields.Take(1));
    tag.readResult = static_cast<uint8_t>(fields.Take(1));
    tag.dataLength = static_cast<uint8_t>(fields.Take(1));
    tag.seenAt = static_cast<uint32_t>(fields.Take(4));
    tag.timestampMs = fields.Take(8);
    for (uint16_t &word : tag.epc)
        word = static_cast<uint16_t>(fields.Take(2));
    if (tag.dataLength != 0) {
        tag.memoryData = static_cast<uint16_t *>(malloc(tag.dataLength * sizeof(uint16_t)));
        for (int i = 0; i < tag.dataLength; i++)
            tag.memoryData[i] = static_cast<uint16_t>(fields.Take(2));
    }

    FlagSet(SkipFirstByte, options & 1);
    FlagSet(SkipLastByte, (options >> 1) & 1);
    FlagSet(ClientConnected, 1);
    FlagSet(KeyboardEmulationEnabled, 1);

    ParseStoredTemplates();
    for (CMyList<tDatagramElement *> *templateList : kLists)
        CheckTemplateElements(*templateList);
    for (int i = 0; i < kTemplateCount; i++) {
        // A template without any block is one literal: itself.
        const char *text = *kTexts[i];
        if (text == nullptr || strchr(text, '{') != nullptr) continue;
        FUZZ_CHECK(kLists[i]->Count() == 1, "a template without blocks is not one literal");
        const tDatagramElement *element = kLists[i]->Head()->value;
        FUZZ_CHECK(
            element->Kind == 0 && strcmp(static_cast<const char *>(element->Content), text) == 0,
            "a template without blocks is not its own text");
    }
    bool batch = (options & 8) != 0;
    RenderAll(&tag, ownEvent, batch);
    if ((options & 4) != 0) {
        ParseStoredTemplates();
        RenderAll(&tag, ownEvent, batch);
    }

    free(tag.memoryData);
    ResetKorvaneGlobals();
    return 0;
}
