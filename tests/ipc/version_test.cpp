// The version parser: tokens found without regard to case, numbers read as
// "%hu", the hash running to the end of the text.
#include "ipc/version.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Version, TokensAndNumbersAreFoundOrFallBack) {
    const char *const cases[][2] = {
        {BuiltInVersion, "1.4.1 -"},
        {"xxveR_MaJoR:7", "7.0.0 -"},
        {"VER_MAJOR:2VER_MINOR:xVER_PATCH:9", "2.0.9 -"},
        {"VER_MAJOR:65535VER_MINOR:65536", "65535.0.0 -"},
        {"VER_MAJOR:1VER_HASH:abc", "1.0.0 abc"},
        {"VER_HASH:abcVER_MAJOR:9", "9.0.0 abcVER_MAJOR:9"},
        {"VER_MAJOR:3VER_HASH:", "3.0.0 -"},
        {"", "0.0.0 -"},
    };
    for (const auto &row : cases) {
        uint16_t major = 99, minor = 99, patch = 99;
        const char *hash = "unset";
        ParseVersion(row[0], &major, &minor, &patch, &hash);
        EXPECT_EQ(std::to_string(major) + "." + std::to_string(minor) + "." +
                      std::to_string(patch) + " " + (hash != nullptr ? hash : "-"),
                  row[1])
            << row[0];
    }
    // After a partial match the same character is compared with the token's
    // start again; the text never moves back.
    const char *const tokens[][3] = {{"aab", "ab", ""},
                                     {"ababcd", "abc", "d"},
                                     {"aaab", "aab", nullptr},
                                     {"VER_MAJO", "ver_major:", nullptr}};
    for (const auto &row : tokens) {
        const char *after = FindAfterToken(row[0], row[1]);
        EXPECT_STREQ(after, row[2]) << row[0] << " / " << row[1];
    }
    uint16_t minor = 42;
    ParseVersion(BuiltInVersion, nullptr, &minor, nullptr, nullptr);
    EXPECT_EQ(minor, 4);
}

}  // namespace
