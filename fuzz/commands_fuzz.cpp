// Fuzz target: the host's commands, executed one after another on a
// configuration file in a private directory, as WaitForData executes them.
//
// Input: byte 0 chooses the start: bit 0 set writes a complete configuration
// file first (else there is none), bit 1 set applies it before the requests
// (else nothing has been applied yet). Then come up to 16 requests, each as a
// 16-bit little-endian length and that many payload bytes (the last one takes
// what is left). Every request goes through IpcReceive onto IpcMessageList,
// is taken off again and executed with ExecuteIpcRequest. IpcClient is null,
// so no reply leaves the process; the reader is not connected, so no command
// waits for it.
//
// Checked: IpcReceive queues exactly the requests with a command code, with
// their bytes; every reply has the status and reply code the command allows,
// failed and unknown commands carry no data, the version block has its size,
// and the XML a reply carries is well-formed with the root
// KorvaneConfiguration; a successful SetPort or SetDatagramResult leaves a
// configuration file that holds the section it set.
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "config/config.h"
#include "config/xml.h"
#include "harness.h"
#include "ipc/commands.h"
#include "ipc/ipc_client.h"
#include "sync/data.h"
#include "sync/lists.h"

// Saving the configuration ends with sync(), which writes back every dirty
// buffer of the machine: per input that makes the target wait on the disk
// and slows everyone else down. The private file's durability does not
// matter here, so the process gets a sync that does nothing.
extern "C" void sync(void) {}

namespace {

constexpr size_t kMaxRequests = 16;
constexpr char kRootName[] = "KorvaneConfiguration";

const char kConfiguration[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
    "<KorvaneConfiguration>\n"
    "  <Datagrams>\n"
    "    <ComingText On=\"true\">IN {EPC}{TAB}{AntennaPort}{CR}{LF}</ComingText>\n"
    "    <GoingText On=\"true\">OUT {EPC}{CR}{LF}</GoingText>\n"
    "    <StartText On=\"true\">start{CR}{LF}</StartText>\n"
    "    <HeartbeatText On=\"false\">beat{CR}{LF}</HeartbeatText>\n"
    "    <StopText On=\"true\">stop{CR}{LF}</StopText>\n"
    "  </Datagrams>\n"
    "  <Port>14007</Port>\n"
    "  <KeyboardEmulation>false</KeyboardEmulation>\n"
    "</KorvaneConfiguration>\n";

std::string ConfigPath;

// The document in `bytes` read strictly, or null.
xmlDocPtr ReadStrictly(const uint8_t *bytes, uint32_t length) {
    return xmlReadMemory(reinterpret_cast<const char *>(bytes), static_cast<int>(length), nullptr,
                         "utf-8", XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_NONET);
}

// The reply's data must be a document with the root KorvaneConfiguration
// whose element children all carry the name `child` (any child when null).
void CheckReplyDocument(const uint8_t *reply, uint32_t length, const char *child) {
    FUZZ_CHECK(length > kReplyHeaderSize, "a successful reply without its XML");
    xmlDocPtr document = ReadStrictly(reply + kReplyHeaderSize, length - kReplyHeaderSize);
    FUZZ_CHECK(document != nullptr, "the XML of a reply is not well-formed");
    xmlNodePtr root = xmlDocGetRootElement(document);
    FUZZ_CHECK(root != nullptr && xmlStrcmp(root->name, XmlText(kRootName)) == 0,
               "the XML of a reply has another root");
    if (child != nullptr) {
        int children = 0;
        for (xmlNodePtr node = xmlFirstElementChild(root); node != nullptr;
             node = xmlNextElementSibling(node)) {
            FUZZ_CHECK(xmlStrcasecmp(node->name, XmlText(child)) == 0,
                       "a reply carries another section than the one asked for");
            children++;
        }
        FUZZ_CHECK(children <= 1, "a reply carries a section twice");
    }
    xmlFreeDoc(document);
}

// After a successful Set command the file holds the section it set.
void CheckSavedSection(const char *section) {
    xmlDocPtr saved = LoadXmlDocument(ConfigPath.c_str(), false);
    FUZZ_CHECK(saved != nullptr, "a successful Set command left no readable file");
    xmlNodePtr root = GetRootElement(saved, kRootName, false);
    FUZZ_CHECK(root != nullptr, "the saved file has no configuration root");
    FUZZ_CHECK(FindElement(root, section, false) != nullptr,
               "the saved file lacks the section just set");
    xmlFreeDoc(saved);
}

void CheckReply(uint16_t code, const uint8_t *reply, uint32_t length) {
    FUZZ_CHECK(length >= kReplyHeaderSize, "a reply shorter than its header");
    uint8_t status = reply[0];
    uint16_t replyCode = static_cast<uint16_t>(reply[1] | reply[2] << 8);
    FUZZ_CHECK(replyCode == (code | kReplyCodeBit), "wrong reply code");
    if (code > kCommandSetDatagramResult) {
        FUZZ_CHECK(status == StatusUnknownCommand, "an unknown command was not refused");
    } else {
        FUZZ_CHECK(status == StatusOk || status == StatusFailed, "a known command's bad status");
    }
    if (status != StatusOk) {
        FUZZ_CHECK(length == kReplyHeaderSize, "a failed command's reply carries data");
        FUZZ_CHECK(code != kCommandGetVersion && code != kCommandGetMagicWords,
                   "a command that cannot fail failed");
        return;
    }
    switch (code) {
        case kCommandGetVersion:
            FUZZ_CHECK(length >= kReplyHeaderSize + 10, "the version block is short");
            FUZZ_CHECK(reply[9] == 0 && reply[10] == 0 && reply[11] == 0 && reply[12] == 0,
                       "the version block's reserved field is not zero");
            break;
        case kCommandGetPort:
            FUZZ_CHECK(AppliedConfig != nullptr, "GetPort succeeded with nothing applied");
            CheckReplyDocument(reply, length, "Port");
            break;
        case kCommandGetDatagramResult:
            FUZZ_CHECK(AppliedConfig != nullptr,
                       "GetDatagramResult succeeded with nothing applied");
            CheckReplyDocument(reply, length, "Datagrams");
            break;
        case kCommandGetMagicWords:
            CheckReplyDocument(reply, length, "Groups");
            break;
        case kCommandSetPort:
            FUZZ_CHECK(length == kReplyHeaderSize, "SetPort replied with data");
            CheckSavedSection("Port");
            break;
        case kCommandSetDatagramResult:
            FUZZ_CHECK(length == kReplyHeaderSize, "SetDatagramResult replied with data");
            CheckSavedSection("Datagrams");
            break;
        default:
            break;
    }
}

void RunRequest(uint32_t token, const uint8_t *payload, uint32_t length) {
    uint32_t queuedBefore = IpcMessageList.Count();
    IpcReceive(token, IpcChannel, length != 0 ? payload : nullptr, length, nullptr);
    tData *request = nullptr;
    bool queued = IpcMessageList.PopFront(request) == 0;
    FUZZ_CHECK(queuedBefore == 0, "a request stayed queued");
    FUZZ_CHECK(queued == (length >= 2), "IpcReceive queues exactly the requests with a code");
    if (!queued) return;
    FUZZ_CHECK(request->token == token && request->channel == IpcChannel &&
                   request->length == length && memcmp(request->buffer, payload, length) == 0,
               "the queued request is not the one received");

    uint16_t code = static_cast<uint16_t>(request->buffer[0] | request->buffer[1] << 8);
    uint32_t replyLength = 0;
    uint8_t *reply = ExecuteIpcRequest(request->buffer, request->length, &replyLength);
    FUZZ_CHECK(reply != nullptr, "a request went unanswered");
    CheckReply(code, reply, replyLength);
    free(reply);
    FreeData(request);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    EnterPrivateNetwork();
    ConfigPath = MakePrivateDirectory("commands") + "/korvane.config.xml";
    ConfigFilePath = ConfigPath.c_str();
    InitKorvaneGlobals();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    uint8_t start = data[0];
    unlink(ConfigPath.c_str());
    if ((start & 1) != 0) WriteWholeFile(ConfigPath, kConfiguration);
    if ((start & 2) != 0) SetConfigFromFile();

    size_t at = 1;
    for (uint32_t token = 1; token <= kMaxRequests && at < size; token++) {
        size_t length = data[at];
        if (at + 1 < size) length |= static_cast<size_t>(data[at + 1]) << 8;
        at += 2;
        if (at > size) at = size;
        if (length > size - at) length = size - at;
        RunRequest(token, data + at, static_cast<uint32_t>(length));
        at += length;
    }

    ResetKorvaneGlobals();
    return 0;
}
