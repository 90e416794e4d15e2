// Turns the 8-byte boot keyboard input reports Korvane types back into key
// presses and text, for tests. It reads them from a file descriptor (a pipe,
// or a FIFO standing in for the gadget device) or takes bytes directly.
//
// A key counts as pressed when its usage code appears in bytes 2 to 7 of a
// report and was not in the report before: a key held over several reports
// is one press, and the same key after a report without it is a second
// press. A press is decoded with the modifier byte of its report and the US
// layout: left or right Shift select the shifted character; a press with
// Control, Alt or GUI, or of a key with no character, adds no text and is
// counted as unmapped. Enter decodes to '\n', Backspace to '\b', Tab to '\t'.
//
// The decoder keeps its own usage table, written from the keys' side, so it
// does not share a mistake with Korvane's character table.
#ifndef KORVANE_TESTS_SUPPORT_HID_DECODER_H
#define KORVANE_TESTS_SUPPORT_HID_DECODER_H

#include <stddef.h>
#include <stdint.h>

#include <array>
#include <string>
#include <vector>

typedef std::array<uint8_t, 8> HidReportBytes;

// The report with `modifier` in byte 0, `usage` in byte 2, all else zero.
inline HidReportBytes MakeHidReport(uint8_t modifier, uint8_t usage) {
    return HidReportBytes{modifier, 0, usage, 0, 0, 0, 0, 0};
}

// The US character of `usage` with or without Shift; 0 for a key without one.
char HidUsageToChar(uint8_t usage, bool shift);

class HidDecoder {
public:
    // Adds bytes as they came from the device; a report may be split across
    // calls.
    void Feed(const uint8_t *bytes, size_t length);

    // Reads from `fd` until Reports() holds at least `count` reports or
    // `timeoutMs` passed. True when the count was reached. `fd` may be
    // blocking or not; reads are only made when poll() reports data.
    bool ReadUntil(int fd, size_t count, int timeoutMs);
    // Reads what `fd` (non-blocking) holds right now, without waiting.
    // Returns the number of whole reports added.
    size_t Drain(int fd);

    // Every whole report in arrival order.
    const std::vector<HidReportBytes> &Reports() const { return reports_; }
    // The text the presses typed.
    const std::string &Text() const { return text_; }
    size_t Presses() const { return presses_; }
    size_t Unmapped() const { return unmapped_; }
    // Bytes of a report not yet complete.
    size_t PendingBytes() const { return pendingLength_; }

private:
    void Decode(const HidReportBytes &report);

    std::vector<HidReportBytes> reports_;
    std::string text_;
    size_t presses_ = 0;
    size_t unmapped_ = 0;
    HidReportBytes pending_{};
    size_t pendingLength_ = 0;
    HidReportBytes previous_{};  // the last report; all zero before the first
};

#endif  // KORVANE_TESTS_SUPPORT_HID_DECODER_H
