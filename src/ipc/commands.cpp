// IPC command handling.
#include "ipc/commands.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlsave.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "config/config.h"
#include "config/watcher.h"
#include "config/xml.h"
#include "core/log.h"
#include "core/signals.h"
#include "datagram/magic_words.h"
#include "ipc/ipc_client.h"
#include "ipc/version.h"
#include "sync/data.h"
#include "sync/lists.h"

static const char kLogName[] = "WaitForData";
static const char kRootName[] = "KorvaneConfiguration";
static constexpr uint32_t kWaitMs = 100;
// Parse options of a request's XML argument: no error or warning output,
// blank text nodes dropped.
static constexpr int kRequestParseOptions =
    XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_NOBLANKS;
static_assert(kRequestParseOptions == 0x160, "the host's requests are parsed with 0x160");
// Version, minor, patch and a 32-bit field of zero.
static constexpr uint32_t kVersionBlockSize = 10;

// What a command produced: the status and, for a successful command that has
// any, the result data (malloc'ed).
struct tResult {
    uint8_t status;
    uint8_t *data;
    uint32_t length;
};

static tResult Failed() {
    return tResult{StatusFailed, nullptr, 0};
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

// A new reply document with its root; null when it cannot be made.
static xmlDocPtr NewReplyDocument(xmlNodePtr *root) {
    xmlDocPtr document = xmlNewDoc(XmlText("1.0"));
    if (document == nullptr) return nullptr;
    *root = xmlNewNode(nullptr, XmlText(kRootName));
    if (*root == nullptr) {
        xmlFreeDoc(document);
        return nullptr;
    }
    xmlDocSetRootElement(document, *root);
    return document;
}

// Saves the document indented, without a declaration, as the result data.
// Frees the document.
static tResult SaveReply(xmlDocPtr document) {
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
    xmlNodePtr appliedRoot = GetRootElement(AppliedConfig, kRootName, false);
    if (appliedRoot != nullptr) {
        xmlNodePtr section = FindElement(appliedRoot, name, false);
        if (section == nullptr) {
            copied = true;
        } else {
            xmlNodePtr copy = xmlDocCopyNode(section, reply, 1);
            copied = copy != nullptr && xmlAddChild(replyRoot, copy) != nullptr;
            if (copy != nullptr && !copied) xmlFreeNode(copy);
        }
    }
    EventSignal(&ConfigLock);
    if (!copied) {
        xmlFreeDoc(reply);
        return Failed();
    }
    return SaveReply(reply);
}

// Replaces the section in the file root by a new element taken from the
// request's root; false leaves the file document to be discarded.
typedef bool (*tSectionEdit)(xmlNodePtr requestRoot, xmlNodePtr fileRoot);

// The file gets an element spelled as in the request, holding the text of
// the request's first child, as the root's last child. The text is added as
// text, so characters such as & and < are escaped in the saved file.
static bool ReplacePort(xmlNodePtr requestRoot, xmlNodePtr fileRoot) {
    xmlNodePtr requested = FindElement(requestRoot, "Port", false);
    if (requested == nullptr) return false;
    xmlNodePtr old = FindElement(fileRoot, "Port", true);
    if (old != nullptr) {
        xmlUnlinkNode(old);
        xmlFreeNode(old);
    }
    if (requested->children == nullptr) return false;
    xmlChar *content = xmlNodeGetContent(requested->children);
    if (content == nullptr) return false;
    xmlNodePtr added = xmlNewTextChild(fileRoot, nullptr, requested->name, content);
    xmlFree(content);
    return added != nullptr;
}

// The file gets a deep copy of the request's "Datagrams" as the root's last
// child.
static bool ReplaceDatagrams(xmlNodePtr requestRoot, xmlNodePtr fileRoot) {
    xmlNodePtr requested = FindElement(requestRoot, "Datagrams", false);
    if (requested == nullptr) return false;
    xmlNodePtr old = FindElement(fileRoot, "Datagrams", true);
    if (old != nullptr) {
        xmlUnlinkNode(old);
        xmlFreeNode(old);
    }
    xmlNodePtr copy = xmlDocCopyNode(requested, fileRoot->doc, 1);
    if (copy == nullptr) return false;
    if (xmlAddChild(fileRoot, copy) == nullptr) {
        xmlFreeNode(copy);
        return false;
    }
    return true;
}

// SetPort and SetDatagramResult: edits the configuration file with the
// request's XML and saves it. True when the file was written.
static bool EditConfigFile(const uint8_t *argument, uint32_t length, tSectionEdit edit) {
    xmlDocPtr request =
        xmlReadMemory(reinterpret_cast<const char *>(argument), static_cast<int>(length), nullptr,
                      "utf-8", kRequestParseOptions);
    if (request == nullptr) return false;
    // Held while the file is read, edited and written, so SetConfigFromFile
    // on another thread never reads it half-written.
    if (EventWait(&ConfigLock) != 0) {
        xmlFreeDoc(request);
        return false;
    }
    bool saved = false;
    xmlDocPtr file = LoadXmlDocument(ConfigFilePath, true);
    if (file != nullptr) {
        xmlNodePtr requestRoot = GetRootElement(request, kRootName, false);
        xmlNodePtr fileRoot = GetRootElement(file, kRootName, true);
        if (requestRoot != nullptr && fileRoot != nullptr && edit(requestRoot, fileRoot)) {
            // The watcher will see this save; it is applied below already.
            FlagSet(IgnoreConfigChange, 1);
            saved = SaveXmlDocument(ConfigFilePath, file) == 0;
            // A failed save is reported, not applied; the watcher must not
            // skip the next change made by someone else.
            if (!saved) FlagSet(IgnoreConfigChange, 0);
        }
        xmlFreeDoc(file);
    }
    EventSignal(&ConfigLock);
    xmlFreeDoc(request);
    return saved;
}

// A request needs at least one byte of XML after its code.
static bool HasArgument(uint32_t length) {
    return length >= 3;
}

static tResult SetPort(const uint8_t *request, uint32_t length) {
    if (!HasArgument(length) || !EditConfigFile(request + 2, length - 2, ReplacePort)) {
        return Failed();
    }
    // The port was saved; whether it could be opened is the server's log.
    SetConfigFromFile();
    return tResult{StatusOk, nullptr, 0};
}

static tResult SetDatagramResult(const uint8_t *request, uint32_t length) {
    if (!HasArgument(length) || !EditConfigFile(request + 2, length - 2, ReplaceDatagrams)) {
        return Failed();
    }
    uint8_t status = SetConfigFromFile() == 0 ? StatusOk : StatusFailed;
    return tResult{status, nullptr, 0};
}

// The magic word catalogue.

struct tCatalogueValue {
    const char *text;
    const char *id;
};

// The "Values" element of a word that takes a value.
struct tValueDescription {
    const char *word;          // null: any other word
    const char *defaultValue;  // or null
    const tCatalogueValue *values;
    int valueCount;
    const char *type;
};

static const tCatalogueValue kNumberRange[] = {{"0", "Min"}, {"4294967295", "Max"}};
static const tCatalogueValue kCodings[] = {{"0", "Binary"}, {"1", "Text"}, {"2", "VDA"}};
static const tCatalogueValue kMemoryBanks[] = {
    {"0", "RFU"}, {"1", "EPC"}, {"2", "TID"}, {"3", "User"}};

static const tValueDescription kValueDescriptions[] = {
    {"Length=", nullptr, kNumberRange, 2, "1"},
    {"Pointer=", nullptr, kNumberRange, 2, "1"},
    {"Password=", "0", kNumberRange, 2, "1"},
    {"Coding=", "Text", kCodings, 3, "2"},
    {"MemoryBank=", nullptr, kMemoryBanks, 4, "2"},
    {"Error=", "Error 0x<ErrorCode>", nullptr, 0, "3"},
    {"Hex=", nullptr, nullptr, 0, "3"},
};
static const tValueDescription kOtherValue = {nullptr, nullptr, nullptr, 0, "1"};

static const tValueDescription &DescribeValues(const char *word) {
    for (const tValueDescription &description : kValueDescriptions) {
        if (strcmp(description.word, word) == 0) return description;
    }
    return kOtherValue;
}

// Adds an element (with `text` escaped as text, or empty) and notes a failure.
static xmlNodePtr AddElement(xmlNodePtr parent, const char *name, const char *text, bool *failed) {
    xmlNodePtr element = parent != nullptr
                             ? xmlNewTextChild(parent, nullptr, XmlText(name),
                                               text != nullptr ? XmlText(text) : nullptr)
                             : nullptr;
    if (element == nullptr) *failed = true;
    return element;
}

static void AddAttribute(xmlNodePtr element, const char *name, const char *value, bool *failed) {
    if (element == nullptr || xmlNewProp(element, XmlText(name), XmlText(value)) == nullptr) {
        *failed = true;
    }
}

static void AddMagicWord(xmlNodePtr group, const tMagicWord &word, bool *failed) {
    xmlNodePtr element = AddElement(group, "MagicWord", nullptr, failed);
    AddAttribute(element, "Optional", (word.Id & kMagicWordOptional) != 0 ? "true" : "false",
                 failed);
    AddElement(element, "Word", word.Name, failed);
    if (word.Description != nullptr) AddElement(element, "Description", word.Description, failed);
    if (word.HasValue != 1) return;
    const tValueDescription &description = DescribeValues(word.Name);
    xmlNodePtr values = AddElement(element, "Values", nullptr, failed);
    // The host reads Default before the values and Type after them.
    if (description.defaultValue != nullptr) {
        AddAttribute(values, "Default", description.defaultValue, failed);
    }
    for (int i = 0; i < description.valueCount; i++) {
        xmlNodePtr value = AddElement(values, "Value", description.values[i].text, failed);
        AddAttribute(value, "Id", description.values[i].id, failed);
    }
    AddAttribute(values, "Type", description.type, failed);
}

static tResult GetMagicWords() {
    xmlNodePtr root = nullptr;
    xmlDocPtr document = NewReplyDocument(&root);
    if (document == nullptr) return Failed();
    bool failed = false;
    xmlNodePtr groups = AddElement(root, "Groups", nullptr, &failed);
    if (groups == nullptr) {
        xmlFreeDoc(document);
        return Failed();
    }
    // Every element is attempted; any failure fails the whole catalogue.
    for (const char *groupName : MagicWordGroups) {
        xmlNodePtr group = AddElement(groups, "Group", nullptr, &failed);
        AddAttribute(group, "Name", groupName, &failed);
        for (const tMagicWord &word : MagicWordTable) {
            if (word.Group == groupName) AddMagicWord(group, word, &failed);
        }
    }
    if (failed) {
        xmlFreeDoc(document);
        return Failed();
    }
    return SaveReply(document);
}

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
