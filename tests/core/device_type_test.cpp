// Communication type detection and the record handed to ConnectReader.
#include <gtest/gtest.h>
#include <string.h>

#include "core/app.h"

namespace {

TEST(CommunicationType, MatchesKnownIdentifiersIgnoringCaseAndNewline) {
    struct Case {
        const char *line;
        uint8_t expected;
    } const cases[] = {
        {"A1F04C62-7B3D-4E91-8D25-6C0E9B47F318", 4},
        {"a1f04c62-7b3d-4e91-8d25-6c0e9b47f318\n", 4},
        {"B7293E05-4DA1-4C6F-9E38-1F52A0C6D974\n", 4},
        {"c3e8157a-20f9-4b84-a6d1-9e47b2530c8f\nsecond line", 4},
        {"", 0},
        {"\n", 0},
        {" A1F04C62-7B3D-4E91-8D25-6C0E9B47F318", 0},
        {"A1F04C62-7B3D-4E91-8D25-6C0E9B47F318\r\n", 0},
        {"A1F04C62-7B3D-4E91-8D25-6C0E9B47F31", 0},
    };
    for (const Case &c : cases)
        EXPECT_EQ(CommunicationTypeFromLine(c.line), c.expected) << c.line;
}

TEST(CommunicationType, ToolOutputDecides) {
    EXPECT_EQ(DetectCommunicationType("echo B7293E05-4DA1-4C6F-9E38-1F52A0C6D974"), 4);
    EXPECT_EQ(DetectCommunicationType("true"), 0) << "no line";
    EXPECT_EQ(DetectCommunicationType("/nonexistent/version -u 2>/dev/null"), 0);
    EXPECT_EQ(DetectCommunicationType("printf 'unknown\\nA1F04C62-7B3D-4E91-8D25-6C0E9B47F318\\n'"),
              0)
        << "only the first line counts";
}

TEST(ConnectParams, LayoutIsByteExact) {
    tConnectParams params;
    memset(&params, 0xEE, sizeof(params));
    FillConnectParams(&params, 4);
    const uint8_t *bytes = reinterpret_cast<const uint8_t *>(&params);
    uint8_t expected[280] = {};
    expected[0] = 4;
    memcpy(expected + 6, "127.0.0.1", 10);
    expected[264] = 0xD0;
    expected[265] = 0x07;
    for (size_t i = 0; i < sizeof(expected); i++)
        EXPECT_EQ(bytes[i], expected[i]) << "offset " << i;
}

}  // namespace
