// The manual page docs/korvane.8 against the program: every magic word of
// MagicWordTable and every coding has its entry, the coding examples render
// as the page shows them, and the page names the reader's default paths, the
// host link and the version that -i prints.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "datagram/codings.h"
#include "datagram/magic_words.h"
#include "ipc/ipc_client.h"
#include "ipc/version.h"

namespace {

std::vector<std::string> ReadLines(const std::string &path) {
    std::ifstream file(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);)
        lines.push_back(line);
    return lines;
}

std::string ReadText(const std::string &path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

const std::vector<std::string> &Page() {
    static const std::vector<std::string> lines = ReadLines(KORVANE_SOURCE_DIR "/docs/korvane.8");
    return lines;
}

// The text a roff escape stands for, for the few escapes the page uses in
// names, paths and examples.
std::string Plain(const std::string &roff) {
    static const std::pair<const char *, const char *> kEscapes[] = {
        {"\\-", "-"}, {"\\%", ""}, {"\\&", ""}, {"\\e", "\\"}, {"\\(dq", "\""}, {"\\~", " "},
    };
    std::string text;
    for (size_t i = 0; i < roff.size();) {
        bool replaced = false;
        for (const auto &escape : kEscapes) {
            size_t length = strlen(escape.first);
            if (roff.compare(i, length, escape.first) == 0) {
                text += escape.second;
                i += length;
                replaced = true;
                break;
            }
        }
        if (!replaced) text += roff[i++];
    }
    return text;
}

// A macro line split into its name and arguments; double quotes group an
// argument with blanks.
struct tMacro {
    std::string name;
    std::vector<std::string> args;
};

tMacro SplitMacro(const std::string &line) {
    tMacro macro;
    size_t i = 0;
    while (i < line.size() && line[i] != ' ')
        macro.name += line[i++];
    while (i < line.size()) {
        while (i < line.size() && line[i] == ' ')
            i++;
        if (i >= line.size()) break;
        std::string arg;
        if (line[i] == '"') {
            for (i++; i < line.size() && line[i] != '"'; i++)
                arg += line[i];
            i++;
        } else {
            while (i < line.size() && line[i] != ' ')
                arg += line[i++];
        }
        macro.args.push_back(Plain(arg));
    }
    return macro;
}

// The lines of the section or subsection titled `title`, up to the next
// heading; empty when there is no such heading.
std::vector<std::string> Section(const char *heading, const std::string &title) {
    std::vector<std::string> lines;
    bool inside = false;
    for (const std::string &line : Page()) {
        bool isHeading = line.rfind(".SH", 0) == 0 || line.rfind(".SS", 0) == 0;
        if (inside && isHeading) break;
        if (inside) lines.push_back(line);
        if (isHeading) {
            tMacro macro = SplitMacro(line);
            std::string text;
            for (const std::string &arg : macro.args)
                text += (text.empty() ? "" : " ") + arg;
            inside = macro.name == heading && text == title;
        }
    }
    return lines;
}

// The tag lines of the .TP entries of a section, in order.
std::vector<tMacro> EntryTags(const std::vector<std::string> &section) {
    std::vector<tMacro> tags;
    for (size_t i = 0; i + 1 < section.size(); i++) {
        if (section[i] == ".TP") tags.push_back(SplitMacro(section[i + 1]));
    }
    return tags;
}

TEST(ManPage, DocumentsEveryMagicWordWithItsValue) {
    std::vector<std::string> section = Section(".SS", "Magic words");
    ASSERT_FALSE(section.empty()) << "no subsection \"Magic words\" in docs/korvane.8";

    // Entry tags: ".B {Name}" for a word without a value, ".BI {Name= value }"
    // for one with a value.
    std::map<std::string, bool> documented;  // name -> takes a value
    for (const tMacro &tag : EntryTags(section)) {
        bool plain = tag.name == ".B" && tag.args.size() == 1 && tag.args[0].size() > 2 &&
                     tag.args[0].front() == '{' && tag.args[0].back() == '}';
        bool valued = tag.name == ".BI" && tag.args.size() == 3 && tag.args[0].size() > 2 &&
                      tag.args[0].front() == '{' && tag.args[0].back() == '=' &&
                      !tag.args[1].empty() && tag.args[2] == "}";
        ASSERT_TRUE(plain || valued)
            << "entry tag not of the form .B {Name} or .BI {Name= value }: " << tag.name;
        std::string name =
            plain ? tag.args[0].substr(1, tag.args[0].size() - 2) : tag.args[0].substr(1);
        EXPECT_EQ(documented.count(name), 0u) << "documented twice: " << name;
        documented[name] = valued;
    }

    std::set<std::string> inTable;
    for (const tMagicWord &word : MagicWordTable) {
        inTable.insert(word.Name);
        auto entry = documented.find(word.Name);
        if (entry == documented.end()) {
            ADD_FAILURE() << "magic word {" << word.Name << "} has no entry in docs/korvane.8";
            continue;
        }
        EXPECT_EQ(entry->second, word.HasValue != 0)
            << "{" << word.Name << "} is documented " << (entry->second ? "with" : "without")
            << " a value";
    }
    for (const auto &entry : documented)
        EXPECT_EQ(inTable.count(entry.first), 1u)
            << "docs/korvane.8 documents {" << entry.first << "}, which is no magic word";
}

TEST(ManPage, DocumentsEveryCoding) {
    std::vector<std::string> section = Section(".SS", "Codings");
    ASSERT_FALSE(section.empty()) << "no subsection \"Codings\" in docs/korvane.8";
    std::set<int> documented;
    for (const tMacro &tag : EntryTags(section)) {
        ASSERT_EQ(tag.name, ".B");
        ASSERT_EQ(tag.args.size(), 1u);
        documented.insert(std::stoi(tag.args[0]));
    }
    std::set<int> codings;
    for (int coding = 0; coding <= kCodingLast; coding++)
        codings.insert(coding);
    EXPECT_EQ(documented, codings);
}

// The example table of the Codings subsection: coding, data bytes in hex,
// the text; columns start where their headings do.
struct tExample {
    int coding;
    std::vector<uint8_t> bytes;
    std::string text;
};

std::string Trim(const std::string &text) {
    size_t first = text.find_first_not_of(' ');
    size_t last = text.find_last_not_of(' ');
    return first == std::string::npos ? "" : text.substr(first, last - first + 1);
}

std::vector<tExample> CodingExamples() {
    std::vector<std::string> section = Section(".SS", "Codings");
    std::vector<tExample> examples;
    size_t i = 0;
    while (i < section.size() && section[i] != ".EX")
        i++;
    if (++i >= section.size()) return examples;
    const std::string &header = section[i];
    size_t bytesColumn = header.find("Bytes");
    size_t textColumn = header.find("Text");
    if (header.rfind("Coding", 0) != 0 || bytesColumn == std::string::npos ||
        textColumn == std::string::npos)
        return examples;
    for (i++; i < section.size() && section[i] != ".EE"; i++) {
        std::string row = Plain(section[i]);
        tExample example;
        example.coding = std::stoi(row.substr(0, bytesColumn));
        std::istringstream bytes(row.substr(bytesColumn, textColumn - bytesColumn));
        for (std::string byte; bytes >> byte;)
            example.bytes.push_back(static_cast<uint8_t>(std::stoul(byte, nullptr, 16)));
        example.text = row.size() > textColumn ? Trim(row.substr(textColumn)) : "";
        examples.push_back(example);
    }
    return examples;
}

TEST(ManPage, CodingExamplesRenderAsShown) {
    std::vector<tExample> examples = CodingExamples();
    ASSERT_FALSE(examples.empty()) << "no example table in the Codings subsection";
    std::set<int> shown;
    for (const tExample &example : examples) {
        // Bytes into 16-bit words, high byte first; an odd count drops the
        // last byte, as a read that ends inside a word does.
        std::vector<uint16_t> words;
        for (size_t b = 0; b < example.bytes.size(); b += 2) {
            uint8_t low = b + 1 < example.bytes.size() ? example.bytes[b + 1] : 0;
            words.push_back(static_cast<uint16_t>(example.bytes[b] << 8 | low));
        }
        uint8_t skipLast = example.bytes.size() % 2;
        tMagicWordSlot slot = {};
        ASSERT_EQ(CodeWords(static_cast<uint8_t>(example.coding), words.data(),
                            static_cast<uint32_t>(words.size()), &slot, 0, skipLast, 0),
                  0u)
            << "coding " << example.coding;
        std::string text;
        if (slot.Text != nullptr) text.assign(reinterpret_cast<char *>(slot.Text), slot.TextLength);
        free(slot.Text);
        EXPECT_EQ(text, example.text)
            << "coding " << example.coding << ", " << example.bytes.size() << " bytes";
        shown.insert(example.coding);
    }
    for (int coding = 0; coding <= kCodingLast; coding++)
        EXPECT_EQ(shown.count(coding), 1u) << "no example for coding " << coding;
}

// The default of a path setting in the top-level CMakeLists.txt: the
// reader's path, which the page documents.
std::string ReaderDefault(const std::string &setting) {
    std::string lists = ReadText(KORVANE_SOURCE_DIR "/CMakeLists.txt");
    std::smatch match;
    std::regex pattern("set\\(" + setting + " \"([^\"]*)\"");
    return std::regex_search(lists, match, pattern) ? match[1].str() : "";
}

TEST(ManPage, FilesNameTheReaderPathsAndTheHostLink) {
    std::set<std::string> files;
    for (const tMacro &tag : EntryTags(Section(".SH", "FILES"))) {
        std::string text;
        for (const std::string &arg : tag.args)
            text += (text.empty() ? "" : " ") + arg;
        files.insert(text);
    }
    std::string configFile = ReaderDefault("KORVANE_CONFIG_FILE");
    std::string hidDevice = ReaderDefault("KORVANE_HID_DEVICE");
    std::string versionCommand = ReaderDefault("KORVANE_VERSION_COMMAND");
    ASSERT_FALSE(configFile.empty());
    ASSERT_FALSE(hidDevice.empty());
    ASSERT_FALSE(versionCommand.empty());

    EXPECT_EQ(files.count(configFile), 1u) << configFile;
    EXPECT_EQ(files.count(hidDevice), 1u) << hidDevice;
    EXPECT_EQ(files.count(versionCommand.substr(0, versionCommand.find(' '))), 1u)
        << versionCommand;
    EXPECT_EQ(files.count(std::string("127.0.0.1 port ") + IpcService), 1u);

    // The whole command line of the version tool, as the page shows it.
    bool commandShown = false;
    for (const std::string &line : Page())
        commandShown = commandShown || Plain(line) == versionCommand;
    EXPECT_TRUE(commandShown) << versionCommand;
}

TEST(ManPage, ShowsTheVersionThatDashIPrints) {
    uint16_t major = 0, minor = 0, patch = 0;
    const char *hash = nullptr;
    ParseVersion(BuiltInVersion, &major, &minor, &patch, &hash);
    std::string version =
        std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch);

    ASSERT_FALSE(Page().empty());
    tMacro title = SplitMacro(Page()[0]);
    ASSERT_EQ(title.name, ".TH");
    ASSERT_GE(title.args.size(), 4u);  // title, section, date, source
    EXPECT_EQ(title.args[3], "Korvane " + version);

    bool shown = false;
    for (const std::string &line : Section(".SH", "OPTIONS"))
        shown = shown || Plain(line) == "Korvane: main(): Version: " + version;
    EXPECT_TRUE(shown) << "the -i line with version " << version;
}

}  // namespace
