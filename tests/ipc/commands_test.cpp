// The host's commands: ExecuteIpcRequest on a configuration file in a fresh
// temporary directory, and the thread WaitForData answering requests that
// reach it through CIpcClient from a host played by the test.
#include "ipc/commands.h"

#include <ftw.h>
#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "config/config.h"
#include "config/watcher.h"
#include "core/app.h"
#include "core/log.h"
#include "core/signals.h"
#include "datagram/template.h"
#include "ipc/fake_host.h"
#include "ipc/ipc_client.h"
#include "output/keyboard.h"
#include "output/server.h"
#include "reader/results.h"
#include "support/worker.h"
#include "sync/data.h"
#include "sync/lists.h"

namespace {

const char kVersionReply[] = "00 00 80 01 00 04 00 01 00 00 00 00 00";

tBytes Request(uint16_t code, const std::string &argument = "") {
    std::string text(2, '\0');
    text[0] = static_cast<char>(code & 0xFF);
    text[1] = static_cast<char>(code >> 8);
    text += argument;
    return tBytes(text.begin(), text.end());
}

// The reply payload, or "none" when the request goes unanswered.
tBytes Execute(const tBytes &request, bool *answered = nullptr) {
    uint32_t length = 0;
    uint8_t *reply = ExecuteIpcRequest(request.empty() ? nullptr : request.data(),
                                       static_cast<uint32_t>(request.size()), &length);
    if (answered != nullptr) *answered = reply != nullptr;
    tBytes bytes;
    if (reply != nullptr) bytes.assign(reply, reply + length);
    free(reply);
    return bytes;
}

std::string ResultText(const tBytes &reply) {
    return reply.size() > 3 ? std::string(reply.begin() + 3, reply.end()) : "";
}

std::string Header(const tBytes &reply) {
    return HexOf(tBytes(reply.begin(), reply.begin() + std::min<size_t>(3, reply.size())));
}

std::string ReadText(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

bool WriteText(const std::string &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out);
}

int RemoveEntry(const char *path, const struct stat *, int, struct FTW *) {
    return remove(path);
}

std::string ConfigText(const std::string &port) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
           "<KorvaneConfiguration>\n"
           "  <Datagrams>\n"
           "    <ComingText On=\"true\">{EPC}{CR}{LF}</ComingText>\n"
           "  </Datagrams>\n"
           "  <Port>" +
           port +
           "</Port>\n"
           "  <KeyboardEmulation>false</KeyboardEmulation>\n"
           "</KorvaneConfiguration>\n";
}

// The names of the root's element children, in order.
std::vector<std::string> RootChildren(xmlDocPtr document) {
    std::vector<std::string> names;
    xmlNodePtr root = xmlDocGetRootElement(document);
    for (xmlNodePtr child = root != nullptr ? xmlFirstElementChild(root) : nullptr;
         child != nullptr; child = xmlNextElementSibling(child)) {
        names.push_back(reinterpret_cast<const char *>(child->name));
    }
    return names;
}

std::string Content(xmlNodePtr node) {
    xmlChar *content = xmlNodeGetContent(node);
    std::string text = content != nullptr ? reinterpret_cast<const char *>(content) : "";
    xmlFree(content);
    return text;
}

// The file as a strict parser reads it: null when it is not well-formed.
xmlDocPtr ReadStrictly(const std::string &path) {
    return xmlReadFile(path.c_str(), nullptr, XML_PARSE_NONET | XML_PARSE_NOERROR);
}

// Korvane's globals as main sets them up, a configuration file in a private
// directory, and the configuration applied from it.
class CommandsTest : public ::testing::Test {
protected:
    void SetUp() override {
        EventInit(&ConfigLock, 1);
        EventInit(&DatagramLock, 1);
        EventInit(&ClientsLock, 1);
        EventInit(&KeyboardLock, 1);
        EventInit(&IntakeLock, 1);
        EventInit(&IpcMessageEvent, 0);
        EventInit(&StopDoneEvent, 0);
        FlagSet(IntakeOpen, 1);
        FlagSet(ShutdownFlag, 0);
        FlagSet(IgnoreConfigChange, 0);
        char pattern[] = "/tmp/korvane-commands.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        path = dir + "/korvane.config.xml";
        ConfigFilePath = path.c_str();
        port = std::to_string(UnusedPort());
        ASSERT_TRUE(WriteText(path, ConfigText(port)));
        SetConfigFromFile();
        ASSERT_NE(AppliedConfig, nullptr);
    }

    void TearDown() override {
        FlagSet(ShutdownFlag, 0);
        FlagSet(Verbose, 0);
        if (AppliedConfig != nullptr) xmlFreeDoc(AppliedConfig);
        AppliedConfig = nullptr;
        if (ListenSocket != -1) close(ListenSocket);
        ListenSocket = -1;
        CloseClientSockets();
        for (CMyList<tDatagramElement *> *list :
             {&ComingTemplate, &GoingTemplate, &StartTemplate, &HeartbeatTemplate, &StopTemplate}) {
            FreeTemplateElements(*list);
        }
        FreeStoredTemplateTexts();
        tData *request = nullptr;
        while (IpcMessageList.PopFront(request) == 0)
            FreeData(request);
        ConfigFilePath = originalPath;
        nftw(dir.c_str(), RemoveEntry, 8, FTW_DEPTH | FTW_PHYS);
    }

    // The port the server listens on now, 0 when none.
    int ListeningPort() {
        int fd = ListenSocket;
        if (fd < 0) return 0;
        struct sockaddr_in6 address = {};
        socklen_t size = sizeof(address);
        if (getsockname(fd, reinterpret_cast<struct sockaddr *>(&address), &size) != 0) return 0;
        return ntohs(address.sin6_port);
    }

    const char *originalPath = ConfigFilePath;
    std::string dir;
    std::string path;
    std::string port;
};

struct RejectedCase {
    const char *name;
    tBytes request;
    const char *reply;
};

void PrintTo(const RejectedCase &c, std::ostream *out) {
    *out << c.name;
}

class RejectedRequestTest : public CommandsTest,
                            public ::testing::WithParamInterface<RejectedCase> {};

TEST_P(RejectedRequestTest, AnswersWithoutDataAndLeavesTheConfigurationAlone) {
    std::string fileBefore = ReadText(path);
    xmlDocPtr appliedBefore = AppliedConfig;
    tBytes reply = Execute(GetParam().request);
    EXPECT_EQ(HexOf(reply), GetParam().reply);
    EXPECT_EQ(ReadText(path), fileBefore) << "the file is not written";
    EXPECT_EQ(AppliedConfig, appliedBefore) << "nothing is applied";
    EXPECT_EQ(FlagGet(IgnoreConfigChange), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, RejectedRequestTest,
    ::testing::Values(
        RejectedCase{"UnknownCode0100", Request(0x0100), "80 00 81"},
        RejectedCase{"UnknownCodeFFFF", Request(0xFFFF), "80 FF FF"},
        RejectedCase{"UnknownCode0006", Request(0x0006), "80 06 80"},
        RejectedCase{"ReplyCodeAsCommand", Request(0x8001), "80 01 80"},
        RejectedCase{"SetPortWithoutArgument", Request(2), "01 02 80"},
        RejectedCase{"SetDatagramResultWithoutArgument", Request(5), "01 05 80"},
        RejectedCase{"SetPortNotXml", Request(2, "x"), "01 02 80"},
        RejectedCase{"SetPortTruncatedXml", Request(2, "<KorvaneConfiguration><Port>1"),
                     "01 02 80"},
        RejectedCase{"SetPortOtherRoot", Request(2, "<Config><Port>14100</Port></Config>"),
                     "01 02 80"},
        RejectedCase{"SetPortWithoutPort",
                     Request(2, "<KorvaneConfiguration><Datagrams/></KorvaneConfiguration>"),
                     "01 02 80"},
        RejectedCase{"SetPortWithEmptyPort",
                     Request(2, "<KorvaneConfiguration><Port></Port></KorvaneConfiguration>"),
                     "01 02 80"},
        RejectedCase{"SetDatagramResultWithoutDatagrams",
                     Request(5, "<KorvaneConfiguration><Port>1</Port></KorvaneConfiguration>"),
                     "01 05 80"},
        RejectedCase{"SetDatagramResultOtherRoot",
                     Request(5, "<Datagrams><ComingText On=\"true\">x</ComingText></Datagrams>"),
                     "01 05 80"}),
    [](const ::testing::TestParamInfo<RejectedCase> &info) { return info.param.name; });

TEST_F(CommandsTest, GetVersionAnswersTheThirteenByteBlock) {
    EXPECT_EQ(HexOf(Execute(Request(0))), kVersionReply);
    EXPECT_EQ(HexOf(Execute(Request(0, "ignored"))), kVersionReply) << "arguments are ignored";
}

TEST_F(CommandsTest, RequestsWithoutCodeAreNotAnswered) {
    bool answered = true;
    Execute({}, &answered);
    EXPECT_FALSE(answered);
    Execute({0x00}, &answered);
    EXPECT_FALSE(answered);
}

TEST_F(CommandsTest, GetPortAndGetDatagramResultCopyTheAppliedSections) {
    tBytes reply = Execute(Request(1));
    EXPECT_EQ(Header(reply), "00 01 80");
    EXPECT_EQ(ResultText(reply),
              "<KorvaneConfiguration>\n  <Port>" + port + "</Port>\n</KorvaneConfiguration>\n");
    reply = Execute(Request(4));
    EXPECT_EQ(Header(reply), "00 04 80");
    EXPECT_EQ(ResultText(reply),
              "<KorvaneConfiguration>\n"
              "  <Datagrams>\n"
              "    <ComingText On=\"true\">{EPC}{CR}{LF}</ComingText>\n"
              "  </Datagrams>\n"
              "</KorvaneConfiguration>\n");
}

TEST_F(CommandsTest, GetPortReportsTheAppliedDefaultNotTheFile) {
    ASSERT_TRUE(WriteText(path,
                          "<KorvaneConfiguration><Datagrams><ComingText On=\"true\">x</ComingText>"
                          "</Datagrams></KorvaneConfiguration>"));
    SetConfigFromFile();
    EXPECT_EQ(ResultText(Execute(Request(1))),
              "<KorvaneConfiguration>\n  <Port>14007</Port>\n</KorvaneConfiguration>\n");
}

TEST_F(CommandsTest, GetSectionWithoutAppliedConfigurationFailsAndWithoutSectionIsEmpty) {
    xmlDocPtr applied = AppliedConfig;
    AppliedConfig = nullptr;
    EXPECT_EQ(HexOf(Execute(Request(1))), "01 01 80");
    EXPECT_EQ(HexOf(Execute(Request(4))), "01 04 80");
    AppliedConfig = xmlReadMemory("<KorvaneConfiguration/>", 23, nullptr, nullptr, 0);
    ASSERT_NE(AppliedConfig, nullptr);
    EXPECT_EQ(ResultText(Execute(Request(1))), "<KorvaneConfiguration/>\n");
    EXPECT_EQ(Header(Execute(Request(4))), "00 04 80");
    xmlFreeDoc(AppliedConfig);
    AppliedConfig = xmlReadMemory("<Other><Port>1</Port></Other>", 29, nullptr, nullptr, 0);
    EXPECT_EQ(HexOf(Execute(Request(1))), "01 01 80") << "the applied root has another name";
    xmlFreeDoc(AppliedConfig);
    AppliedConfig = applied;
}

struct SetPortCase {
    const char *name;
    const char *element;  // as the request spells it
};

void PrintTo(const SetPortCase &c, std::ostream *out) {
    *out << c.name;
}

class SetPortTest : public CommandsTest, public ::testing::WithParamInterface<SetPortCase> {};

TEST_P(SetPortTest, WritesThePortLastSavesAppliesAndMovesTheServer) {
    std::string newPort = std::to_string(UnusedPort());
    std::string element = GetParam().element;
    tBytes reply = Execute(Request(2, "<KorvaneConfiguration><" + element + ">" + newPort + "</" +
                                          element + "></KorvaneConfiguration>"));
    EXPECT_EQ(HexOf(reply), "00 02 80");
    EXPECT_EQ(FlagGet(IgnoreConfigChange), 1) << "the watcher must skip Korvane's own save";

    xmlDocPtr saved = ReadStrictly(path);
    ASSERT_NE(saved, nullptr) << ReadText(path);
    EXPECT_EQ(RootChildren(saved),
              std::vector<std::string>({"Datagrams", "KeyboardEmulation", element}));
    EXPECT_EQ(Content(xmlLastElementChild(xmlDocGetRootElement(saved))), newPort);
    xmlFreeDoc(saved);

    EXPECT_EQ(ResultText(Execute(Request(1))), "<KorvaneConfiguration>\n  <" + element + ">" +
                                                   newPort + "</" + element +
                                                   ">\n</KorvaneConfiguration>\n");
    EXPECT_EQ(ListeningPort(), std::stoi(newPort));
}

INSTANTIATE_TEST_SUITE_P(Spellings, SetPortTest,
                         ::testing::Values(SetPortCase{"AsUsual", "Port"},
                                           SetPortCase{"InCapitals", "PORT"}),
                         [](const ::testing::TestParamInfo<SetPortCase> &info) {
                             return info.param.name;
                         });

TEST_F(CommandsTest, SetPortCreatesTheFileWhenThereIsNone) {
    ASSERT_EQ(remove(path.c_str()), 0);
    std::string newPort = std::to_string(UnusedPort());
    EXPECT_EQ(HexOf(Execute(Request(
                  2, "<KorvaneConfiguration><Port>" + newPort + "</Port></KorvaneConfiguration>"))),
              "00 02 80");
    xmlDocPtr saved = ReadStrictly(path);
    ASSERT_NE(saved, nullptr);
    EXPECT_EQ(RootChildren(saved), std::vector<std::string>({"Port"}));
    xmlFreeDoc(saved);
}

// The port text comes from the host; markup characters in it must reach the
// file as text, not as markup that breaks the file.
TEST_F(CommandsTest, SetPortEscapesTheTextItWritesIntoTheFile) {
    struct Case {
        const char *requestText;  // as it stands in the request's XML
        const char *value;        // the text it stands for
    };
    const Case cases[] = {
        {"&lt;14008&amp;x&gt;", "<14008&x>"},
        {"a&amp;b", "a&b"},
        {"&amp;lt;", "&lt;"},
        {"<![CDATA[</Port><Evil/>]]>", "</Port><Evil/>"},
        {"&quot;1&apos;", "\"1'"},
    };
    for (const Case &c : cases) {
        tBytes reply = Execute(Request(2, std::string("<KorvaneConfiguration><Port>") +
                                              c.requestText + "</Port></KorvaneConfiguration>"));
        EXPECT_EQ(HexOf(reply), "00 02 80") << c.requestText;
        xmlDocPtr saved = ReadStrictly(path);
        ASSERT_NE(saved, nullptr) << c.requestText << " broke the file:\n" << ReadText(path);
        EXPECT_EQ(RootChildren(saved),
                  std::vector<std::string>({"Datagrams", "KeyboardEmulation", "Port"}))
            << c.requestText;
        EXPECT_EQ(Content(xmlLastElementChild(xmlDocGetRootElement(saved))), c.value)
            << c.requestText;
        xmlFreeDoc(saved);
    }
}

TEST_F(CommandsTest, SetPortTakesTheTextOfTheFirstChild) {
    std::string newPort = std::to_string(UnusedPort());
    EXPECT_EQ(HexOf(Execute(Request(2, "<KorvaneConfiguration><Port><Number>" + newPort +
                                           "</Number><Other>1</Other></Port>"
                                           "</KorvaneConfiguration>"))),
              "00 02 80");
    EXPECT_NE(ReadText(path).find("<Port>" + newPort + "</Port>"), std::string::npos)
        << ReadText(path);
}

TEST_F(CommandsTest, FailedSaveIsReportedAndNotApplied) {
    std::string missing = dir + "/missing/korvane.config.xml";
    ConfigFilePath = missing.c_str();
    xmlDocPtr appliedBefore = AppliedConfig;
    EXPECT_EQ(HexOf(Execute(Request(2,
                                    "<KorvaneConfiguration><Port>14100</Port>"
                                    "</KorvaneConfiguration>"))),
              "01 02 80");
    EXPECT_EQ(HexOf(Execute(Request(5,
                                    "<KorvaneConfiguration><Datagrams><ComingText On=\"true\">"
                                    "x</ComingText></Datagrams></KorvaneConfiguration>"))),
              "01 05 80");
    EXPECT_EQ(AppliedConfig, appliedBefore);
    EXPECT_EQ(FlagGet(IgnoreConfigChange), 0) << "the watcher would skip someone else's change";
    ConfigFilePath = path.c_str();
}

TEST_F(CommandsTest, SetDatagramResultReplacesTheTemplatesAndApplies) {
    tBytes reply = Execute(Request(5,
                                   "<KorvaneConfiguration><Datagrams>"
                                   "<ComingText On=\"true\">NEW {EPC}&amp;{CR}{LF}</ComingText>"
                                   "<GoingText On=\"true\">OUT {EPC}</GoingText>"
                                   "</Datagrams><Port>1</Port></KorvaneConfiguration>"));
    EXPECT_EQ(HexOf(reply), "00 05 80");
    EXPECT_EQ(FlagGet(IgnoreConfigChange), 1);
    xmlDocPtr saved = ReadStrictly(path);
    ASSERT_NE(saved, nullptr);
    EXPECT_EQ(RootChildren(saved),
              std::vector<std::string>({"Port", "KeyboardEmulation", "Datagrams"}))
        << "the templates are replaced and go last; the request's port is ignored";
    xmlFreeDoc(saved);
    EXPECT_EQ(ResultText(Execute(Request(4))),
              "<KorvaneConfiguration>\n"
              "  <Datagrams>\n"
              "    <ComingText On=\"true\">NEW {EPC}&amp;{CR}{LF}</ComingText>\n"
              "    <GoingText On=\"true\">OUT {EPC}</GoingText>\n"
              "  </Datagrams>\n"
              "</KorvaneConfiguration>\n");
    ASSERT_EQ(EventWait(&DatagramLock), 0);
    std::string coming = ComingText != nullptr ? ComingText : "(none)";
    std::string going = GoingText != nullptr ? GoingText : "(none)";
    EventSignal(&DatagramLock);
    EXPECT_EQ(coming, "NEW {EPC}&{CR}{LF}");
    EXPECT_EQ(going, "OUT {EPC}");
    EXPECT_EQ(ListeningPort(), std::stoi(port)) << "the port is unchanged";
}

TEST_F(CommandsTest, SetDatagramResultReportsWhatApplyingReturns) {
    // Without coming and going templates nothing needs the reader, and the
    // stop fails here (no reader is connected): the file is written, the
    // status is SetConfigFromFile's 1.
    tBytes reply = Execute(Request(5,
                                   "<KorvaneConfiguration><Datagrams>"
                                   "<StartText On=\"true\">started</StartText>"
                                   "</Datagrams></KorvaneConfiguration>"));
    EXPECT_EQ(HexOf(reply), "01 05 80");
    EXPECT_NE(ReadText(path).find("<StartText On=\"true\">started</StartText>"), std::string::npos);
}

// The catalogue, group by group: each word with its "Optional" value and
// whether it has a description and values.
struct CatalogueWord {
    const char *word;
    const char *optional;
    bool description;
    bool values;
};
struct CatalogueGroup {
    const char *name;
    std::vector<CatalogueWord> words;
};

const std::vector<CatalogueGroup> kCatalogue = {
    {"EPC", {{"EPC", "false", false, false}, {"Coding=", "true", true, true}}},
    {"Tag data",
     {{"MemoryBank=", "false", true, true},
      {"Pointer=", "false", true, true},
      {"Length=", "false", true, true},
      {"Password=", "true", false, true},
      {"Error=", "true", false, true},
      {"Coding=", "true", true, true}}},
    {"Tag info",
     {{"AntennaPort", "true", false, false},
      {"AntennaProperty", "true", false, false},
      {"RSSI", "true", false, false},
      {"RSSIDBM", "true", false, false},
      {"Timestamp", "true", true, false},
      {"TimestampMS", "true", false, false},
      {"PC", "true", false, false},
      {"XPC_W1", "true", false, false},
      {"XPC_W2", "true", false, false}}},
    {"Format",
     {{"LF", "true", false, false},
      {"CR", "true", false, false},
      {"TAB", "true", false, false},
      {"NUL", "true", false, false},
      {"STX", "true", false, false},
      {"Hex=", "true", false, true}}},
};

std::string Attribute(xmlNodePtr node, const char *name) {
    xmlChar *value = xmlGetProp(node, reinterpret_cast<const xmlChar *>(name));
    std::string text = value != nullptr ? reinterpret_cast<const char *>(value) : "(none)";
    xmlFree(value);
    return text;
}

std::vector<xmlNodePtr> Children(xmlNodePtr parent) {
    std::vector<xmlNodePtr> children;
    for (xmlNodePtr child = xmlFirstElementChild(parent); child != nullptr;
         child = xmlNextElementSibling(child)) {
        children.push_back(child);
    }
    return children;
}

std::string Name(xmlNodePtr node) {
    return reinterpret_cast<const char *>(node->name);
}

TEST_F(CommandsTest, GetMagicWordsListsTheCatalogue) {
    tBytes reply = Execute(Request(3));
    ASSERT_EQ(Header(reply), "00 03 80");
    std::string xml = ResultText(reply);
    EXPECT_EQ(xml.rfind("<KorvaneConfiguration>\n  <Groups>\n    <Group Name=\"EPC\">\n", 0), 0u)
        << "indented, without a declaration:\n"
        << xml;
    xmlDocPtr document = xmlReadMemory(xml.data(), static_cast<int>(xml.size()), nullptr, nullptr,
                                       XML_PARSE_NOBLANKS);
    ASSERT_NE(document, nullptr);
    xmlNodePtr root = xmlDocGetRootElement(document);
    std::vector<xmlNodePtr> top = Children(root);
    ASSERT_EQ(top.size(), 1u);
    EXPECT_EQ(Name(top[0]), "Groups");
    std::vector<xmlNodePtr> groups = Children(top[0]);
    ASSERT_EQ(groups.size(), kCatalogue.size());
    for (size_t g = 0; g < groups.size(); g++) {
        const CatalogueGroup &expected = kCatalogue[g];
        EXPECT_EQ(Name(groups[g]), "Group");
        EXPECT_EQ(Attribute(groups[g], "Name"), expected.name);
        std::vector<xmlNodePtr> words = Children(groups[g]);
        ASSERT_EQ(words.size(), expected.words.size()) << expected.name;
        for (size_t w = 0; w < words.size(); w++) {
            const CatalogueWord &word = expected.words[w];
            EXPECT_EQ(Name(words[w]), "MagicWord");
            EXPECT_EQ(Attribute(words[w], "Optional"), word.optional) << word.word;
            std::vector<std::string> names;
            for (xmlNodePtr child : Children(words[w]))
                names.push_back(Name(child));
            std::vector<std::string> expectedNames{"Word"};
            if (word.description) expectedNames.push_back("Description");
            if (word.values) expectedNames.push_back("Values");
            EXPECT_EQ(names, expectedNames) << word.word;
            EXPECT_EQ(Content(Children(words[w])[0]), word.word);
        }
    }
    xmlFreeDoc(document);

    // A few elements exactly as the host reads them: Default comes before the
    // values, Type after them.
    const char *const exact[] = {
        "      <MagicWord Optional=\"true\">\n"
        "        <Word>Coding=</Word>\n"
        "        <Description>0: Binary, 1: Text, 2: VDA</Description>\n"
        "        <Values Default=\"Text\" Type=\"2\">\n"
        "          <Value Id=\"Binary\">0</Value>\n"
        "          <Value Id=\"Text\">1</Value>\n"
        "          <Value Id=\"VDA\">2</Value>\n"
        "        </Values>\n"
        "      </MagicWord>\n",
        "        <Word>MemoryBank=</Word>\n"
        "        <Description>0: RFU, 1: EPC, 2: TID, 3: User</Description>\n"
        "        <Values Type=\"2\">\n"
        "          <Value Id=\"RFU\">0</Value>\n"
        "          <Value Id=\"EPC\">1</Value>\n"
        "          <Value Id=\"TID\">2</Value>\n"
        "          <Value Id=\"User\">3</Value>\n"
        "        </Values>\n",
        "        <Word>Length=</Word>\n"
        "        <Description>Bytes to read, special case 0xFFFFFFFF</Description>\n"
        "        <Values Type=\"1\">\n"
        "          <Value Id=\"Min\">0</Value>\n"
        "          <Value Id=\"Max\">4294967295</Value>\n"
        "        </Values>\n",
        "        <Word>Password=</Word>\n"
        "        <Values Default=\"0\" Type=\"1\">\n",
        "        <Word>Error=</Word>\n"
        "        <Values Default=\"Error 0x&lt;ErrorCode&gt;\" Type=\"3\"/>\n",
        "        <Word>Hex=</Word>\n"
        "        <Values Type=\"3\"/>\n",
        "        <Word>Timestamp</Word>\n"
        "        <Description>Format \"1970-01-01 00:00:00\"</Description>\n"
        "      </MagicWord>\n",
        "        <Word>Pointer=</Word>\n"
        "        <Description>Byte address pointer</Description>\n",
    };
    for (const char *element : exact)
        EXPECT_NE(xml.find(element), std::string::npos) << element;
    // Both "Coding=" rows carry the same values.
    size_t first = xml.find("<Values Default=\"Text\" Type=\"2\">");
    ASSERT_NE(first, std::string::npos);
    EXPECT_NE(xml.find("<Values Default=\"Text\" Type=\"2\">", first + 1), std::string::npos);
    const std::string end = "  </Groups>\n</KorvaneConfiguration>\n";
    ASSERT_GT(xml.size(), end.size());
    EXPECT_EQ(xml.substr(xml.size() - end.size()), end);
}

TEST_F(CommandsTest, VerboseLogsOneLinePerRequest) {
    struct Case {
        uint16_t code;
        const char *line;
    };
    const Case cases[] = {
        {0, "Korvane: WaitForData(): GetVersion\n"},
        {1, "Korvane: WaitForData(): GetPort\n"},
        {2, "Korvane: WaitForData(): SetPort\n"},
        {3, "Korvane: WaitForData(): GetMagicWords\n"},
        {4, "Korvane: WaitForData(): GetDatagramResult\n"},
        {5, "Korvane: WaitForData(): SetDatagramResult\n"},
        {0x0100, "Korvane: WaitForData(): Unknown command 0x0100\n"},
        {0xABCD, "Korvane: WaitForData(): Unknown command 0xABCD\n"},
    };
    FlagSet(Verbose, 1);
    for (const Case &c : cases) {
        testing::internal::CaptureStdout();
        Execute(Request(c.code));  // SetPort and SetDatagramResult fail at once
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.line);
    }
    FlagSet(Verbose, 0);
    testing::internal::CaptureStdout();
    Execute(Request(0x0100));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

// ------------------------------------------------------- WaitForData on the wire

class WaitForDataTest : public CommandsTest {
protected:
    void SetUp() override {
        CommandsTest::SetUp();
        ASSERT_TRUE(host.Listening());
        IpcService = host.Service();
        client = new CIpcClient(nullptr);
        IpcClient = client;
        client->SetReceiveCallback(IpcReceive);
        std::atomic<bool> opened{false};
        Worker opener([&] { opened = client->Open("127.0.0.1", IpcChannel); });
        ASSERT_TRUE(host.Accept(2000));
        tBytes hello;
        ASSERT_TRUE(host.Read(17, &hello, 2000));
        ASSERT_TRUE(host.Write(HelloAckBytes(0xFFFFFFFF, IpcChannel)));
        ASSERT_TRUE(opener.JoinWithin(3000));
        ASSERT_TRUE(opened);
    }
    void TearDown() override {
        StopCommands();
        client->SetReceiveCallback(nullptr);
        IpcClient = nullptr;
        delete client;
        IpcService = "4006";
        CommandsTest::TearDown();
    }

    void StartCommands() {
        commands = new Worker([] { WaitForData(nullptr); });
    }
    void StopCommands() {
        FlagSet(ShutdownFlag, 1);
        delete commands;  // joins within 5 s or aborts
        commands = nullptr;
    }

    // The next reply frame, byte for byte.
    tBytes NextFrame() {
        uint32_t token = 0;
        uint16_t channel = 0;
        tBytes payload;
        if (!host.ReadFrame(&token, &channel, &payload, 5000)) return {};
        return FrameOf(token, channel, payload);
    }

    FakeHost host;
    CIpcClient *client = nullptr;
    Worker *commands = nullptr;
};

TEST_F(WaitForDataTest, AnswersGetVersionByteExact) {
    StartCommands();
    ASSERT_TRUE(host.Write(FrameOf(0x01020304, 5, Request(0))));
    EXPECT_EQ(HexOf(NextFrame()),
              "5A 04 03 02 01 05 00 0D 00 00 00 " + std::string(kVersionReply) + " A5");
}

TEST_F(WaitForDataTest, AnswersTwoRequestsOfOneChunkInOrder) {
    StartCommands();
    ASSERT_TRUE(host.Write(Concat(FrameOf(7, 5, Request(0x0100)), FrameOf(8, 5, Request(0)))));
    EXPECT_EQ(HexOf(NextFrame()), "5A 07 00 00 00 05 00 03 00 00 00 80 00 81 A5");
    tBytes second = NextFrame();
    EXPECT_EQ(
        HexOf(second),
        HexOf(FrameOf(
            8, 5, {0x00, 0x00, 0x80, 0x01, 0x00, 0x04, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00})));
}

TEST_F(WaitForDataTest, FramesThatAreNoRequestsGetNoReply) {
    StartCommands();
    ASSERT_TRUE(
        host.Write(Bytes({FrameOf(1, 4, Request(0)), FrameOf(0, 5, Request(0)),
                          FrameOf(2, 5, {0x00}), FrameOf(3, 5, {}), FrameOf(4, 5, Request(1))})));
    tBytes reply = NextFrame();
    ASSERT_GE(reply.size(), 5u);
    EXPECT_EQ(HexOf(tBytes(reply.begin(), reply.begin() + 5)), "5A 04 00 00 00")
        << "the first reply answers the GetPort";
    EXPECT_TRUE(host.QuietFor(200));
}

TEST_F(WaitForDataTest, OneWakeUpAnswersEverythingQueued) {
    for (uint32_t token : {21u, 22u, 23u}) {
        tData *request = static_cast<tData *>(calloc(1, sizeof(tData)));
        request->token = token;
        request->channel = 5;
        request->length = 2;
        request->buffer = static_cast<uint8_t *>(malloc(2));
        request->buffer[0] = static_cast<uint8_t>(token);  // unknown codes 0x15 to 0x17
        request->buffer[1] = 0;
        IpcMessageList.PushBack(request);
    }
    EventSignal(&IpcMessageEvent);
    StartCommands();
    for (uint8_t token : {21, 22, 23}) {
        EXPECT_EQ(HexOf(NextFrame()), HexOf(FrameOf(token, 5, {0x80, token, 0x80})));
    }
    EXPECT_EQ(IpcMessageList.Count(), 0u);
}

TEST_F(WaitForDataTest, ShutdownEndsTheThreadPromptlyAndLeavesTheQueue) {
    StartCommands();
    ASSERT_TRUE(host.Write(FrameOf(1, 5, Request(0))));
    EXPECT_FALSE(NextFrame().empty());
    FlagSet(ShutdownFlag, 1);
    int64_t start = MonotonicNs();
    ASSERT_TRUE(commands->JoinWithin(1000));
    EXPECT_LT(MsSince(start), 300);
    ASSERT_TRUE(host.Write(FrameOf(2, 5, Request(0))));
    SleepMs(200);
    EXPECT_EQ(IpcMessageList.Count(), 1u) << "main frees what is left at shutdown";
    EXPECT_TRUE(host.QuietFor(100));
}

}  // namespace
