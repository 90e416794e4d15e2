// Catches a manual page that misses or invents an option, exit status, configuration element,
// magic word or coding of the program, or whose coding examples the program renders otherwise.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>

#include "core/app.h"
#include "datagram/codings.h"
#include "datagram/magic_words.h"

namespace {

// The lines of the section or subsection `title` of docs/korvane.8, up to the next heading.
std::vector<std::string> Section(const std::string &title) {
    std::ifstream page(KORVANE_SOURCE_DIR "/docs/korvane.8");
    std::vector<std::string> lines;
    bool inside = false;
    for (std::string line; std::getline(page, line);) {
        bool heading = line.rfind(".SH", 0) == 0 || line.rfind(".SS", 0) == 0;
        if (heading) inside = line == ".SH " + title || line == ".SS " + title;
        if (!heading && inside) lines.push_back(line);
    }
    return lines;
}

// The first word of the tag of every .TP entry of a section.
std::set<std::string> Entries(const std::string &title) {
    std::vector<std::string> lines = Section(title);
    std::set<std::string> entries;
    for (size_t i = 1; i < lines.size(); i++) {
        const std::string tag = lines[i].substr(lines[i].find(' ') + 1);
        if (lines[i - 1] == ".TP") entries.insert(tag.substr(0, tag.find(' ')));
    }
    return entries;
}

TEST(ManPage, NamesWhatTheProgramHas) {
    std::set<std::string> words, codings, codes;
    for (int code : {kExitNormal, kExitHandlersFailed, kExitConnectFailed, kExitNoDeviceType,
                     kExitNoSignalHandling})
        codes.insert(std::to_string(code));
    for (const tMagicWord &word : MagicWordTable)
        words.insert("{" + std::string(word.Name) + (word.HasValue ? "" : "}"));
    for (int coding = 0; coding <= kCodingLast; coding++)
        codings.insert(std::to_string(coding));
    const std::pair<std::string, std::set<std::string>> rows[] = {
        {"OPTIONS", {"\\-i", "\\-v", "\\-s"}},
        {"\"EXIT STATUS\"", codes},
        {"CONFIGURATION",
         {"KorvaneConfiguration", "Datagrams", "ComingText", "GoingText", "StartText",
          "HeartbeatText", "StopText", "Port", "KeyboardEmulation", "KeyboardLayout"}},
        {"\"Magic words\"", words},
        {"Codings", codings}};
    for (const auto &row : rows)
        EXPECT_EQ(Entries(row.first), row.second) << row.first;
}

// The example table of the Codings subsection: coding, data bytes, the text.
TEST(ManPage, CodingExamplesRenderAsShown) {
    const std::vector<std::string> lines = Section("Codings");
    auto row = std::find(lines.begin(), lines.end(), "Coding  Bytes          Text");
    ASSERT_NE(row, lines.end());
    for (++row; row != lines.end() && *row != ".EE"; ++row) {
        std::istringstream bytes(row->substr(8, 15));
        std::vector<uint16_t> words;
        size_t count = 0;
        for (std::string byte; bytes >> byte; count++) {
            if (count % 2 == 0) words.push_back(0);
            words.back() |=
                static_cast<uint16_t>(std::stoul(byte, nullptr, 16) << (count % 2 ? 0 : 8));
        }
        tMagicWordSlot slot = {};
        ASSERT_EQ(CodeWords(static_cast<uint8_t>(std::stoi(*row)), words.data(),
                            static_cast<uint32_t>(words.size()), &slot, 0, count % 2, 0),
                  0u)
            << *row;
        const char *text = slot.Text ? reinterpret_cast<char *>(slot.Text) : "";
        EXPECT_EQ(std::string(text, slot.TextLength), row->substr(23)) << *row;
        free(slot.Text);
    }
}

}  // namespace
