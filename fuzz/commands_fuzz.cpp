// Fuzz target: a configuration file applied as at start-up, and the host's
// commands on it, received and executed as WaitForData executes them.
//
// Input: byte 0, then pieces, each a 16-bit little-endian length and that many
// bytes (the last one takes what is left). Byte 0 bit 0 makes the first piece
// the configuration file (else there is none); bit 1 applies it twice (as at
// start-up, and after a save that changed nothing). Up to 16 more pieces are
// requests. Checked: a request is queued when it has a command code, its
// reply names the code, and the XML a reply carries is a configuration the
// host can parse.
#include <libxml/parser.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "config/config.h"
#include "harness.h"
#include "ipc/commands.h"
#include "ipc/ipc_client.h"
#include "sync/data.h"
#include "sync/lists.h"

// Saving the configuration ends with sync(), which writes back every dirty
// buffer of the machine: per input that makes the target wait on the disk and
// slows everyone else down. The private file's durability does not matter.
extern "C" void sync(void) {}

namespace {

std::string ConfigPath;

// Whether the replies' XML must parse: the file (when there is one) is
// well-formed and nothing declares a document type. Korvane reads a broken
// file as well as it can and copies entity references without their
// declarations, so those replies carry what the file held.
bool RepliesMustParse = true;

// Whether `bytes` parse strictly, with the root `rootName` when one is given.
bool WellFormed(const uint8_t *bytes, size_t length, const char *rootName = nullptr) {
    xmlDocPtr document =
        xmlReadMemory(reinterpret_cast<const char *>(bytes), static_cast<int>(length), nullptr,
                      "utf-8", XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_NONET);
    xmlNodePtr root = xmlDocGetRootElement(document);
    bool named =
        root != nullptr && (rootName == nullptr || xmlStrcmp(root->name, BAD_CAST rootName) == 0);
    xmlFreeDoc(document);
    return named;
}

void CheckReply(uint16_t code, const uint8_t *reply, uint32_t length) {
    FUZZ_CHECK(reply != nullptr && length >= kReplyHeaderSize, "a request went unanswered");
    FUZZ_CHECK((reply[1] | reply[2] << 8) == (code | kReplyCodeBit), "wrong reply code");
    bool carriesXml = code == kCommandGetPort || code == kCommandGetDatagramResult;
    if (!carriesXml || reply[0] != StatusOk || !RepliesMustParse) return;
    // The host parses what GetPort and GetDatagramResult carry.
    FUZZ_CHECK(
        WellFormed(reply + kReplyHeaderSize, length - kReplyHeaderSize, "KorvaneConfiguration"),
        "a reply's XML is not a well-formed configuration");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    EnterPrivateNetwork();
    ConfigPath = MakePrivateDirectory() + "/korvane.config.xml";
    ConfigFilePath = ConfigPath.c_str();
    InitKorvaneGlobals();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    // The pieces after byte 0, each behind its 16-bit length.
    size_t at = 1, length = 0;
    auto next = [&]() {
        length = data[at] | (at + 1 < size ? data[at + 1] << 8 : 0);
        at = std::min(at + 2, size);
        length = std::min(length, size - at);
        at += length;
        return data + at - length;
    };
    unlink(ConfigPath.c_str());
    RepliesMustParse = true;
    if ((data[0] & 1) != 0 && at < size) {
        const uint8_t *file = next();
        RepliesMustParse = WellFormed(file, length) && !memmem(file, length, "<!DOCTYPE", 9);
        FILE *out = fopen(ConfigPath.c_str(), "wb");
        FUZZ_CHECK(out != nullptr && fwrite(file, 1, length, out) == length, "no file written");
        fclose(out);
    }
    if ((data[0] & 2) != 0) {
        SetConfigFromFile();
        SetConfigFromFile();
    }
    for (uint32_t token = 1; token <= 16 && at < size; token++) {
        const uint8_t *bytes = next();
        RepliesMustParse &= memmem(bytes, length, "<!DOCTYPE", 9) == nullptr;
        IpcReceive(token, IpcChannel, length != 0 ? bytes : nullptr, static_cast<uint32_t>(length),
                   nullptr);
        tData *request = nullptr;
        FUZZ_CHECK((IpcMessageList.PopFront(request) == 0) == (length >= 2), "queued wrongly");
        if (request == nullptr) continue;
        uint32_t replyLength = 0;
        uint8_t *reply = ExecuteIpcRequest(request->buffer, request->length, &replyLength);
        CheckReply(static_cast<uint16_t>(bytes[0] | bytes[1] << 8), reply, replyLength);
        free(reply);
        FreeData(request);
    }
    ResetProcessState();
    return 0;
}
