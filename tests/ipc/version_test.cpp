// The version parser: token search and tolerant number reading.
#include "ipc/version.h"

#include <gtest/gtest.h>
#include <string.h>

namespace {

struct TokenCase {
    const char *text;
    const char *token;
    int expectedOffset;  // -1: not found
};

TEST(FindAfterToken, FindsFirstCaseInsensitiveOccurrence) {
    const TokenCase cases[] = {
        {"VER_MAJOR:1", "ver_major:", 10},
        {"ver_major:1", "VER_MAJOR:", 10},
        {"xxVeR_MaJoR:7", "ver_major:", 12},
        // After a partial match the same character is compared with the
        // token's start again: "aab" holds "ab" at 1.
        {"aab", "ab", 3},
        // The mismatching 'a' restarts the match at once.
        {"ababc", "abc", 5},
        // The text never moves back, so an occurrence that overlaps a longer
        // partial match is not found; the version tokens have no such overlap.
        {"aaab", "aab", -1},
        {"", "ver_major:", -1},
        {"VER_MAJO", "ver_major:", -1},
        {"VER_MINOR:4", "ver_major:", -1},
    };
    for (const TokenCase &c : cases) {
        const char *at = FindAfterToken(c.text, c.token);
        if (c.expectedOffset < 0) {
            EXPECT_EQ(at, nullptr) << c.text << " / " << c.token;
        } else {
            ASSERT_NE(at, nullptr) << c.text << " / " << c.token;
            EXPECT_EQ(at - c.text, c.expectedOffset) << c.text << " / " << c.token;
        }
    }
}

struct VersionCase {
    const char *text;
    uint16_t major, minor, patch;
    const char *hash;  // null: none
};

TEST(ParseVersion, ReadsEachItemOrFallsBack) {
    const VersionCase cases[] = {
        {BuiltInVersion, 1, 4, 1, nullptr},
        {"ver_major:7", 7, 0, 0, nullptr},
        {"VER_MAJOR:7", 7, 0, 0, nullptr},
        {"VER_MAJOR:2VER_MINOR:xVER_PATCH:9", 2, 0, 9, nullptr},
        {"VER_MAJOR:3VER_PATCH:5", 3, 0, 5, nullptr},
        {"VER_MAJOR:65535VER_MINOR:65536", 65535, 0, 0, nullptr},
        {"VER_MAJOR:1VER_HASH:abc", 1, 0, 0, "abc"},
        // Anything after the hash token belongs to the hash.
        {"VER_HASH:abcVER_MAJOR:9", 9, 0, 0, "abcVER_MAJOR:9"},
        {"", 0, 0, 0, nullptr},
    };
    for (const VersionCase &c : cases) {
        uint16_t major = 99, minor = 99, patch = 99;
        const char *hash = "unset";
        ParseVersion(c.text, &major, &minor, &patch, &hash);
        EXPECT_EQ(major, c.major) << c.text;
        EXPECT_EQ(minor, c.minor) << c.text;
        EXPECT_EQ(patch, c.patch) << c.text;
        if (c.hash == nullptr) {
            EXPECT_EQ(hash, nullptr) << c.text;
        } else {
            ASSERT_NE(hash, nullptr) << c.text;
            EXPECT_STREQ(hash, c.hash);
        }
    }
}

TEST(ParseVersion, OmittedOutputsAreNotWritten) {
    uint16_t minor = 42;
    ParseVersion(BuiltInVersion, nullptr, &minor, nullptr, nullptr);
    EXPECT_EQ(minor, 4);
}

}  // namespace
