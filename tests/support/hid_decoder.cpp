// Boot keyboard report decoding for tests.
#include "support/hid_decoder.h"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>

#include "testkit/clock.h"

namespace {

// Characters of the usages 0x04 to 0x38, without and with Shift. 0x29 is
// Escape, 0x32 the non-US key next to Enter, which a US keyboard lacks.
constexpr uint8_t kFirstUsage = 0x04;
constexpr char kPlain[] =
    "abcdefghijklmnopqrstuvwxyz"
    "1234567890"
    "\n\x1b\b\t "
    "-=[]\\\0;'`,./";
constexpr char kShifted[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZ"
    "!@#$%^&*()"
    "\n\x1b\b\t "
    "_+{}|\0:\"~<>?";
constexpr size_t kMappedUsages = 0x38 - kFirstUsage + 1;
static_assert(sizeof(kPlain) == kMappedUsages + 1, "one character per usage 0x04..0x38");
static_assert(sizeof(kShifted) == kMappedUsages + 1, "one character per usage 0x04..0x38");

constexpr uint8_t kShiftBits = 0x02 | 0x20;  // left and right Shift
constexpr uint8_t kOtherModifierBits = 0xFF & ~kShiftBits;

bool Holds(const HidReportBytes &report, uint8_t usage) {
    return std::find(report.begin() + 2, report.end(), usage) != report.end();
}

}  // namespace

char HidUsageToChar(uint8_t usage, bool shift) {
    if (usage < kFirstUsage || usage >= kFirstUsage + kMappedUsages) return 0;
    return (shift ? kShifted : kPlain)[usage - kFirstUsage];
}

void HidDecoder::Decode(const HidReportBytes &report) {
    for (size_t slot = 2; slot < report.size(); slot++) {
        uint8_t usage = report[slot];
        // 0 is no key; 1 to 3 are error codes, not keys.
        if (usage <= 0x03 || Holds(previous_, usage)) continue;
        presses_++;
        char c = (report[0] & kOtherModifierBits) != 0
                     ? 0
                     : HidUsageToChar(usage, (report[0] & kShiftBits) != 0);
        if (c == 0) {
            unmapped_++;
        } else {
            text_ += c;
        }
    }
    previous_ = report;
}

void HidDecoder::Feed(const uint8_t *bytes, size_t length) {
    for (size_t i = 0; i < length; i++) {
        pending_[pendingLength_++] = bytes[i];
        if (pendingLength_ == pending_.size()) {
            reports_.push_back(pending_);
            Decode(pending_);
            pendingLength_ = 0;
        }
    }
}

bool HidDecoder::ReadUntil(int fd, size_t count, int timeoutMs) {
    const long long end = MonotonicMs() + timeoutMs;
    uint8_t buffer[4096];
    while (reports_.size() < count) {
        long long left = end - MonotonicMs();
        if (left <= 0) break;
        struct pollfd readable = {fd, POLLIN, 0};
        int ready = poll(&readable, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;
        if ((readable.revents & POLLIN) == 0) break;  // hang-up or error only
        ssize_t got = read(fd, buffer, sizeof(buffer));
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (got <= 0) break;
        Feed(buffer, static_cast<size_t>(got));
    }
    return reports_.size() >= count;
}

size_t HidDecoder::Drain(int fd) {
    const size_t before = reports_.size();
    uint8_t buffer[4096];
    for (;;) {
        ssize_t got = read(fd, buffer, sizeof(buffer));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        Feed(buffer, static_cast<size_t>(got));
    }
    return reports_.size() - before;
}
