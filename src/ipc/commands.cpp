// The host's commands: the dispatch of a request to its command, the replies
// of the commands that read (GetVersion, GetPort, GetDatagramResult) with the
// XML reply helpers all replies share, and the thread that answers the queued
// requests. The configuration file edits are in file_edits.cpp, the magic
// word catalogue in magic_catalogue.cpp.
#include "ipc/commands.h"

#include <libxml/tree.h>
#include <libxml/xmlsave.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "config/config.h"
#include "config/xml.h"
#include "core/log.h"
#include "core/signals.h"
#include "ipc/commands_internal.h"
#include "ipc/ipc_client.h"
#include "ipc/version.h"
#include "sync/data.h"
#include "sync/lists.h"

static const char kLogName[] = "WaitForData";
static constexpr uint32_t kWaitMs = 100;
// Version, minor, patch and a 32-bit field of zero.
static constexpr uint32_t kVersionBlockSize = 10;

// The replies.

xmlDocPtr NewReplyDocument(xmlNodePtr *root) {
    xmlDocPtr document = xmlNewDoc(XmlText("1.0"));
    if (document == nullptr) return nullptr;
    *root = xmlNewNode(nullptr, XmlText(kConfigRootName));
    if (*root == nullptr) {
        xmlFreeDoc(document);
        return nullptr;
    }
    xmlDocSetRootElement(document, *root);
    return document;
}

tResult SaveReply(xmlDocPtr document) {
    tResult result = Failed();
    xmlBufferPtr buffer = xmlBufferCreate();
    if (buffer != nullptr) {
        xmlSaveCtxtPtr context =
            xmlSaveToBuffer(buffer, "utf-8", XML_SAVE_FORMAT | XML_SAVE_NO_DECL);
        if (context != nullptr) {
            bool saved = xmlSaveDoc(context, document) >= 0;
            saved = xmlSaveClose(context) >= 0 && saved;
            int length = xmlBufferLength(buffer);
            if (saved && length > 0) {
                result.data = static_cast<uint8_t *>(malloc(static_cast<size_t>(length)));
                if (result.data != nullptr) {
                    memcpy(result.data, xmlBufferContent(buffer), static_cast<size_t>(length));
                    result.status = StatusOk;
                    result.length = static_cast<uint32_t>(length);
                }
            }
        }
        xmlBufferFree(buffer);
    }
    xmlFreeDoc(document);
    return result;
}

bool AppendCopy(xmlNodePtr parent, xmlNodePtr node) {
    xmlNodePtr copy = xmlDocCopyNode(node, parent->doc, 1);
    if (copy == nullptr) return false;
    if (xmlAddChild(parent, copy) == nullptr) {
        xmlFreeNode(copy);
        return false;
    }
    return true;
}

static tResult GetVersion() {
    uint16_t numbers[3] = {0, 0, 0};
    const char *hash = nullptr;
    ParseVersion(BuiltInVersion, &numbers[0], &numbers[1], &numbers[2], &hash);
    uint32_t hashSize = hash != nullptr ? static_cast<uint32_t>(strlen(hash)) + 1 : 0;
    uint32_t length = kVersionBlockSize + hashSize;
    uint8_t *data = static_cast<uint8_t *>(calloc(1, length));
    if (data == nullptr) return Failed();
    for (int i = 0; i < 3; i++) {
        data[2 * i] = static_cast<uint8_t>(numbers[i]);
        data[2 * i + 1] = static_cast<uint8_t>(numbers[i] >> 8);
    }
    // Bytes 6 to 9 stay zero.
    if (hash != nullptr) memcpy(data + kVersionBlockSize, hash, hashSize);
    return tResult{StatusOk, data, length};
}

// GetPort and GetDatagramResult: a copy of the applied section `name`, or an
// empty root when the applied configuration has none.
static tResult GetAppliedSection(const char *name) {
    xmlNodePtr replyRoot = nullptr;
    xmlDocPtr reply = NewReplyDocument(&replyRoot);
    if (reply == nullptr) return Failed();
    // SetConfigFromFile replaces AppliedConfig under ConfigLock.
    if (EventWait(&ConfigLock) != 0) {
        xmlFreeDoc(reply);
        return Failed();
    }
    bool copied = false;
    xmlNodePtr appliedRoot = GetRootElement(AppliedConfig, kConfigRootName, false);
    if (appliedRoot != nullptr) {
        xmlNodePtr section = FindElement(appliedRoot, name, false);
        copied = section == nullptr || AppendCopy(replyRoot, section);
    }
    EventSignal(&ConfigLock);
    if (!copied) {
        xmlFreeDoc(reply);
        return Failed();
    }
    return SaveReply(reply);
}

// The dispatch.

static tResult Execute(uint16_t code, const uint8_t *request, uint32_t length) {
    switch (code) {
        case kCommandGetVersion:
            LogPuts(kLogName, "GetVersion");
            return GetVersion();
        case kCommandGetPort:
            LogPuts(kLogName, "GetPort");
            return GetAppliedSection("Port");
        case kCommandSetPort:
            LogPuts(kLogName, "SetPort");
            return SetPort(request, length);
        case kCommandGetMagicWords:
            LogPuts(kLogName, "GetMagicWords");
            return GetMagicWords();
        case kCommandGetDatagramResult:
            LogPuts(kLogName, "GetDatagramResult");
            return GetAppliedSection("Datagrams");
        case kCommandSetDatagramResult:
            LogPuts(kLogName, "SetDatagramResult");
            return SetDatagramResult(request, length);
        default:
            LogPrintf(kLogName, "Unknown command 0x%04X\n", code);
            return tResult{StatusUnknownCommand, nullptr, 0};
    }
}

uint8_t *ExecuteIpcRequest(const uint8_t *request, uint32_t length, uint32_t *replyLength) {
    if (request == nullptr || length < 2) return nullptr;
    uint16_t code = static_cast<uint16_t>(request[0] | (request[1] << 8));
    tResult result = Execute(code, request, length);
    // A failed command carries no data.
    if (result.status != StatusOk) {
        free(result.data);
        result.data = nullptr;
        result.length = 0;
    }
    uint8_t *reply = static_cast<uint8_t *>(malloc(kReplyHeaderSize + result.length));
    if (reply != nullptr) {
        uint16_t replyCode = code | kReplyCodeBit;
        reply[0] = result.status;
        reply[1] = static_cast<uint8_t>(replyCode);
        reply[2] = static_cast<uint8_t>(replyCode >> 8);
        if (result.length != 0) memcpy(reply + kReplyHeaderSize, result.data, result.length);
        *replyLength = kReplyHeaderSize + result.length;
    }
    free(result.data);
    return reply;
}

static void Answer(const tData *request) {
    uint32_t replyLength = 0;
    uint8_t *reply = ExecuteIpcRequest(request->buffer, request->length, &replyLength);
    if (reply == nullptr) return;
    // A reply that cannot be delivered is lost; the host asks again.
    if (IpcClient != nullptr) IpcClient->Send(request->token, request->channel, reply, replyLength);
    free(reply);
}

void *WaitForData(void *) {
    while (!FlagGet(ShutdownFlag)) {
        int waited = EventWaitMs(&IpcMessageEvent, kWaitMs);
        if (waited == -1) continue;
        if (waited != 0) {
            // The event is unusable (destroyed): poll for the shutdown
            // instead of spinning on it.
            usleep(kWaitMs * 1000);
            continue;
        }
        // One wake-up drains the list.
        tData *request = nullptr;
        while (!FlagGet(ShutdownFlag) && IpcMessageList.PopFront(request) == 0) {
            Answer(request);
            FreeData(request);
        }
    }
    return nullptr;
}
