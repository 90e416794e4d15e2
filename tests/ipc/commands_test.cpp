// ExecuteIpcRequest on a configuration file in a private directory, and
// WaitForData answering a host on loopback through CIpcClient.
#include "ipc/commands.h"

#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "config/config.h"
#include "config/watcher.h"
#include "core/app.h"
#include "core/signals.h"
#include "datagram/template.h"
#include "ipc/ipc_client.h"
#include "output/keyboard.h"
#include "output/server.h"
#include "reader/results.h"
#include "support/worker.h"
#include "sync/data.h"
#include "sync/lists.h"
#include "testkit/fake_host.h"
#include "testkit/files.h"

namespace {

const char kVersionReply[] = "00 00 80 01 00 04 00 01 00 00 00 00 00";

tBytes Request(uint16_t code, const std::string &argument = "") {
    std::string text = std::string(1, static_cast<char>(code)) + static_cast<char>(code >> 8);
    text += argument;
    return tBytes(text.begin(), text.end());
}

// The reply payload; empty when the request goes unanswered.
tBytes Execute(const tBytes &request) {
    uint32_t length = 0;
    uint8_t *reply = ExecuteIpcRequest(request.empty() ? nullptr : request.data(),
                                       static_cast<uint32_t>(request.size()), &length);
    tBytes bytes(reply, reply + (reply ? length : 0));
    free(reply);
    return bytes;
}
std::string Hex(const tBytes &request) {
    return HexOf(Execute(request));
}
std::string ResultText(const tBytes &request) {
    tBytes reply = Execute(request);
    return reply.size() > 3 ? std::string(reply.begin() + 3, reply.end()) : "";
}

std::string ConfigText(const std::string &port) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<KorvaneConfiguration>\n  <Datagrams>\n"
           "    <ComingText On=\"true\">{EPC}{CR}{LF}</ComingText>\n  </Datagrams>\n  <Port>" +
           port +
           "</Port>\n  <KeyboardEmulation>false</KeyboardEmulation>\n</KorvaneConfiguration>\n";
}

std::string Name(xmlNodePtr node) {
    return reinterpret_cast<const char *>(node->name);
}
std::vector<xmlNodePtr> Children(xmlNodePtr parent) {
    std::vector<xmlNodePtr> children;
    for (xmlNodePtr child = xmlFirstElementChild(parent); child;
         child = xmlNextElementSibling(child))
        children.push_back(child);
    return children;
}

// The saved file as a strict parser reads it: the root's children as "Name=text", or
// "malformed".
std::vector<std::string> SavedChildren(const std::string &path) {
    xmlDocPtr saved = xmlReadFile(path.c_str(), nullptr,
                                  XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOBLANKS);
    if (saved == nullptr) return {"malformed"};
    std::vector<std::string> children;
    for (xmlNodePtr child : Children(xmlDocGetRootElement(saved))) {
        xmlChar *text = xmlNodeGetContent(child);
        children.push_back(Name(child) + "=" + reinterpret_cast<const char *>(text));
        xmlFree(text);
    }
    xmlFreeDoc(saved);
    return children;
}

// Korvane's globals as main sets them up, and a configuration applied from a private file.
class CommandsTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (tEvent *lock : {&ConfigLock, &DatagramLock, &ClientsLock, &KeyboardLock, &IntakeLock})
            EventInit(lock, 1);
        EventInit(&IpcMessageEvent, 0);
        EventInit(&StopDoneEvent, 0);
        FlagSet(IntakeOpen, 1);
        FlagSet(IgnoreConfigChange, 0);
        char pattern[] = "/tmp/korvane-commands.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        path = dir + "/korvane.config.xml";
        ConfigFilePath = path.c_str();
        port = std::to_string(UnusedPort());
        ASSERT_TRUE(static_cast<bool>(std::ofstream(path) << ConfigText(port)));
        SetConfigFromFile();
        ASSERT_NE(AppliedConfig, nullptr);
    }
    void TearDown() override {
        FlagSet(ShutdownFlag, 0);
        if (AppliedConfig != nullptr) xmlFreeDoc(AppliedConfig);
        AppliedConfig = nullptr;
        if (ListenSocket != -1) close(ListenSocket);
        ListenSocket = -1;
        CloseClientSockets();
        for (auto *list :
             {&ComingTemplate, &GoingTemplate, &StartTemplate, &HeartbeatTemplate, &StopTemplate})
            FreeTemplateElements(*list);
        FreeStoredTemplateTexts();
        tData *request = nullptr;
        while (IpcMessageList.PopFront(request) == 0)
            FreeData(request);
        ConfigFilePath = originalPath;
        std::filesystem::remove_all(dir);
    }

    int ListeningPort() {
        struct sockaddr_in6 address = {};
        socklen_t size = sizeof(address);
        if (getsockname(ListenSocket, reinterpret_cast<sockaddr *>(&address), &size) != 0) return 0;
        return ntohs(address.sin6_port);
    }

    const char *originalPath = ConfigFilePath;
    std::string dir, path, port;
};

TEST_F(CommandsTest, BadRequestsAndFailedSavesLeaveTheConfigurationAlone) {
    const std::string root = "<KorvaneConfiguration>", end = "</KorvaneConfiguration>";
    std::vector<tBytes> requests{tBytes(), tBytes(1, 0)};
    for (uint16_t code : {0x0100, 0xFFFF, 0x8001, 2, 5})
        requests.push_back(Request(code));
    for (const std::string &argument : {std::string("x"), root + "<Datagrams/>" + end,
                                        root + "<Port></Port>" + end, root + "<Port>1"})
        requests.push_back(Request(2, argument));
    requests.push_back(Request(2, "<C><Port>1</Port></C>"));
    requests.push_back(Request(5, root + "<Port>1</Port>" + end));
    requests.push_back(Request(5, "<Datagrams><ComingText/></Datagrams>"));
    std::string before = ReadFile(path), replies;
    xmlDocPtr applied = AppliedConfig;
    for (const tBytes &request : requests)
        replies += Hex(request) + "|";
    // Without a code no reply at all; unknown codes 80 <code>; bad arguments 01 <reply code>.
    EXPECT_EQ(replies,
              "||80 00 81|80 FF FF|80 01 80|01 02 80|01 05 80|01 02 80|01 02 80|01 02 80|"
              "01 02 80|01 02 80|01 05 80|01 05 80|");
    EXPECT_EQ(ReadFile(path), before) << "the file is not written";
    // A save that fails is reported, and not applied.
    std::string missing = dir + "/missing/korvane.config.xml";
    ConfigFilePath = missing.c_str();
    EXPECT_EQ(Hex(Request(2, root + "<Port>14100</Port>" + end)), "01 02 80");
    EXPECT_EQ(Hex(Request(
                  5, root + "<Datagrams><ComingText On=\"true\">x</ComingText></Datagrams>" + end)),
              "01 05 80");
    ConfigFilePath = path.c_str();
    EXPECT_EQ(AppliedConfig, applied) << "nothing is applied";
    EXPECT_EQ(FlagGet(IgnoreConfigChange), 0) << "the watcher would skip someone else's change";
}

TEST_F(CommandsTest, GetVersionGetPortAndGetDatagramResult) {
    EXPECT_EQ(Hex(Request(0)), kVersionReply);
    EXPECT_EQ(Hex(Request(0, "ignored")), kVersionReply);
    EXPECT_EQ(Hex(Request(1)).substr(0, 9) + Hex(Request(4)).substr(0, 8), "00 01 80 00 04 80");
    EXPECT_EQ(ResultText(Request(1)),
              "<KorvaneConfiguration>\n  <Port>" + port + "</Port>\n</KorvaneConfiguration>\n");
    EXPECT_EQ(ResultText(Request(4)),
              "<KorvaneConfiguration>\n  <Datagrams>\n    <ComingText On=\"true\">{EPC}{CR}{LF}"
              "</ComingText>\n  </Datagrams>\n</KorvaneConfiguration>\n");
    xmlDocPtr applied = AppliedConfig;
    AppliedConfig = nullptr;
    EXPECT_EQ(Hex(Request(1)), "01 01 80") << "nothing applied";
    EXPECT_EQ(Hex(Request(4)), "01 04 80");
    AppliedConfig = applied;
}

// The port text comes from the host; markup in it must reach the file as text.
TEST_F(CommandsTest, SetPortSavesTheTextLastEscapedAppliesItAndMovesTheServer) {
    const std::string free = std::to_string(UnusedPort()), other = std::to_string(UnusedPort());
    const std::vector<std::string> cases[] = {
        {"Port", free, free},
        {"PORT", other, other},
        {"Port", "&lt;14008&amp;x&gt;", "<14008&x>"},
        {"Port", "&amp;lt;", "&lt;"},
        {"Port", "<![CDATA[</Port><Evil/>]]>", "</Port><Evil/>"},
        {"Port", "&quot;1&apos;", "\"1'"}};
    for (const std::vector<std::string> &c : cases) {
        const std::string element = "<" + c[0] + ">" + c[1] + "</" + c[0] + ">";
        EXPECT_EQ(Hex(Request(2, "<KorvaneConfiguration>" + element + "</KorvaneConfiguration>")),
                  "00 02 80");
        EXPECT_EQ(FlagGet(IgnoreConfigChange), 1) << "the watcher must skip Korvane's own save";
        FlagSet(IgnoreConfigChange, 0);
        EXPECT_EQ(SavedChildren(path),
                  std::vector<std::string>(
                      {"Datagrams={EPC}{CR}{LF}", "KeyboardEmulation=false", c[0] + "=" + c[2]}))
            << ReadFile(path);
        if (c[1] != c[2]) continue;
        EXPECT_EQ(ResultText(Request(1)),
                  "<KorvaneConfiguration>\n  " + element + "\n</KorvaneConfiguration>\n");
        EXPECT_EQ(ListeningPort(), std::stoi(c[1]));
    }
}

TEST_F(CommandsTest, SetDatagramResultReplacesTheTemplatesAndApplies) {
    EXPECT_EQ(Hex(Request(5,
                          "<KorvaneConfiguration><Datagrams>"
                          "<ComingText On=\"true\">NEW {EPC}&amp;{CR}{LF}</ComingText>"
                          "<GoingText On=\"true\">OUT {EPC}</GoingText>"
                          "</Datagrams><Port>1</Port></KorvaneConfiguration>")),
              "00 05 80");
    EXPECT_EQ(FlagGet(IgnoreConfigChange), 1);
    EXPECT_EQ(SavedChildren(path),
              std::vector<std::string>({"Port=" + port, "KeyboardEmulation=false",
                                        "Datagrams=NEW {EPC}&{CR}{LF}OUT {EPC}"}))
        << "the templates are replaced and go last; the request's port is ignored";
    EXPECT_EQ(ResultText(Request(4)),
              "<KorvaneConfiguration>\n  <Datagrams>\n"
              "    <ComingText On=\"true\">NEW {EPC}&amp;{CR}{LF}</ComingText>\n"
              "    <GoingText On=\"true\">OUT {EPC}</GoingText>\n  </Datagrams>\n"
              "</KorvaneConfiguration>\n");
    ASSERT_EQ(EventWait(&DatagramLock), 0);
    std::string coming = ComingText ? ComingText : "(none)", going = GoingText ? GoingText : "";
    EventSignal(&DatagramLock);
    EXPECT_EQ(coming + "|" + going, "NEW {EPC}&{CR}{LF}|OUT {EPC}");
    EXPECT_EQ(ListeningPort(), std::stoi(port)) << "the port is unchanged";
}

TEST_F(CommandsTest, SetDatagramResultTellsTheHostWhenApplyingFails) {
    // The server is down and another program holds its port: the templates
    // are saved, but the server cannot be opened again, and the host is told.
    close(ListenSocket);
    ListenSocket = -1;
    int holder = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(holder, 0);
    struct sockaddr_in6 address = {};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_any;
    address.sin6_port = htons(static_cast<uint16_t>(std::stoi(port)));
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);
    ASSERT_EQ(listen(holder, 1), 0);
    EXPECT_EQ(Hex(Request(5,
                          "<KorvaneConfiguration><Datagrams><ComingText On=\"true\">X{EPC}"
                          "</ComingText></Datagrams></KorvaneConfiguration>")),
              "01 05 80");
    EXPECT_EQ(ListenSocket, -1);
    close(holder);
}

TEST_F(CommandsTest, GetMagicWordsListsTheCatalogue) {
    tBytes reply = Execute(Request(3));
    ASSERT_EQ(HexOf(tBytes(reply.begin(), reply.begin() + 3)), "00 03 80");
    std::string xml(reply.begin() + 3, reply.end());
    xmlDocPtr document = xmlReadMemory(xml.data(), static_cast<int>(xml.size()), nullptr, nullptr,
                                       XML_PARSE_NOBLANKS);
    ASSERT_NE(document, nullptr);
    // Per group: its name and its words, each with its number of child elements.
    std::string outline;
    for (xmlNodePtr groups : Children(xmlDocGetRootElement(document))) {
        for (xmlNodePtr group : Children(groups)) {
            xmlChar *name = xmlGetProp(group, reinterpret_cast<const xmlChar *>("Name"));
            outline += std::string("\n") + reinterpret_cast<const char *>(name) + ":";
            xmlFree(name);
            for (xmlNodePtr word : Children(group)) {
                xmlChar *text = xmlNodeGetContent(Children(word)[0]);
                outline += std::string(" ") + reinterpret_cast<const char *>(text) +
                           std::to_string(Children(word).size());
                xmlFree(text);
            }
        }
    }
    xmlFreeDoc(document);
    EXPECT_EQ(outline,
              "\nEPC: EPC1 Coding=3"
              "\nTag data: MemoryBank=3 Pointer=3 Length=3 Password=2 Error=2 Coding=3"
              "\nTag info: AntennaPort1 AntennaProperty1 RSSI1 RSSIDBM1 Timestamp2 TimestampMS1 "
              "PC1 XPC_W11 XPC_W21"
              "\nFormat: LF1 CR1 TAB1 NUL1 STX1 Hex=2");
    EXPECT_EQ(xml.rfind("<KorvaneConfiguration>\n  <Groups>\n    <Group Name=\"EPC\">\n", 0), 0u)
        << "indented, without a declaration";
    for (const char *element :
         {"      <MagicWord Optional=\"true\">\n        <Word>Coding=</Word>\n"
          "        <Description>0: Binary, 1: Text, 2: VDA</Description>\n"
          "        <Values Default=\"Text\" Type=\"2\">\n"
          "          <Value Id=\"Binary\">0</Value>\n          <Value Id=\"Text\">1</Value>\n"
          "          <Value Id=\"VDA\">2</Value>\n        </Values>\n      </MagicWord>\n",
          "        <Word>Error=</Word>\n"
          "        <Values Default=\"Error 0x&lt;ErrorCode&gt;\" Type=\"3\"/>\n",
          "      <MagicWord Optional=\"false\">\n        <Word>EPC</Word>\n      </MagicWord>\n",
          "  </Groups>\n</KorvaneConfiguration>\n"})
        EXPECT_NE(xml.find(element), std::string::npos) << element;
}

class WaitForDataTest : public CommandsTest {
protected:
    void SetUp() override {
        CommandsTest::SetUp();
        IpcService = host.Service();
        IpcClient = &client;
        client.SetReceiveCallback(IpcReceive);
        Worker opener([&] { EXPECT_TRUE(client.Open("127.0.0.1", IpcChannel)); });
        tBytes hello;
        ASSERT_TRUE(host.Accept(2000) && host.Read(17, &hello, 2000));
        ASSERT_TRUE(host.Write(HelloAckBytes(0xFFFFFFFF, IpcChannel)));
        ASSERT_TRUE(opener.JoinWithin(3000));
        commands.reset(new Worker([] { WaitForData(nullptr); }));
    }
    void TearDown() override {
        FlagSet(ShutdownFlag, 1);
        EXPECT_TRUE(commands->JoinWithin(1000)) << "shutdown ends the thread promptly";
        commands.reset();
        client.SetReceiveCallback(nullptr);
        IpcClient = nullptr;
        IpcService = "4006";
        CommandsTest::TearDown();
    }
    std::string NextFrame() {
        uint32_t token = 0;
        uint16_t channel = 0;
        tBytes payload;
        if (host.ReadFrame(&token, &channel, &payload, 5000) != FakeHost::kFrameRead) return "none";
        return HexOf(FrameOf(token, channel, payload));
    }

    FakeHost host;
    CIpcClient client{nullptr};
    std::unique_ptr<Worker> commands;
};

TEST_F(WaitForDataTest, AnswersRequestsInOrderAndNothingElse) {
    // Not requests: another channel (below and above), token 0, no code.
    ASSERT_TRUE(host.Write(
        Bytes({FrameOf(1, 4, Request(0)), FrameOf(9, 6, Request(0)), FrameOf(0, 5, Request(0)),
               FrameOf(2, 5, {0x00}), FrameOf(3, 5, {}), FrameOf(0x01020304, 5, Request(0)),
               FrameOf(7, 5, Request(0x0100)), FrameOf(8, 5, Request(0))})));
    EXPECT_EQ(NextFrame(),
              "5A 04 03 02 01 05 00 0D 00 00 00 " + std::string(kVersionReply) + " A5");
    EXPECT_EQ(NextFrame(), "5A 07 00 00 00 05 00 03 00 00 00 80 00 81 A5");
    EXPECT_EQ(NextFrame(),
              "5A 08 00 00 00 05 00 0D 00 00 00 " + std::string(kVersionReply) + " A5");
    EXPECT_TRUE(host.QuietFor(200));
}

}  // namespace
