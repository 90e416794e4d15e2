// The host's commands that edit the configuration file, SetPort and
// SetDatagramResult: each replaces one section of the file by the one in the
// request's XML, saves the file and applies it.
#include <libxml/parser.h>
#include <libxml/tree.h>

#include "config/config.h"
#include "config/watcher.h"
#include "config/xml.h"
#include "ipc/commands_internal.h"
#include "sync/data.h"

// Parse options of a request's XML argument: no error or warning output,
// blank text nodes dropped.
static constexpr int kRequestParseOptions =
    XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_NOBLANKS;
static_assert(kRequestParseOptions == 0x160, "the host's requests are parsed with 0x160");

// Replaces the section in the file root by a new element taken from the
// request's root; false leaves the file document to be discarded.
typedef bool (*tSectionEdit)(xmlNodePtr requestRoot, xmlNodePtr fileRoot);

// The request's section `name`, once the file's own is removed; null when the
// request has none.
static xmlNodePtr TakeOutSection(xmlNodePtr requestRoot, xmlNodePtr fileRoot, const char *name) {
    xmlNodePtr requested = FindElement(requestRoot, name, false);
    if (requested == nullptr) return nullptr;
    xmlNodePtr old = FindElement(fileRoot, name, true);
    if (old != nullptr) {
        xmlUnlinkNode(old);
        xmlFreeNode(old);
    }
    return requested;
}

// The file gets an element spelled as in the request, holding the text of
// the request's first child, as the root's last child. The text is added as
// text, so characters such as & and < are escaped in the saved file.
static bool ReplacePort(xmlNodePtr requestRoot, xmlNodePtr fileRoot) {
    xmlNodePtr requested = TakeOutSection(requestRoot, fileRoot, "Port");
    if (requested == nullptr || requested->children == nullptr) return false;
    xmlChar *content = xmlNodeGetContent(requested->children);
    if (content == nullptr) return false;
    xmlNodePtr added = xmlNewTextChild(fileRoot, nullptr, requested->name, content);
    xmlFree(content);
    return added != nullptr;
}

// The file gets a deep copy of the request's "Datagrams" as the root's last
// child.
static bool ReplaceDatagrams(xmlNodePtr requestRoot, xmlNodePtr fileRoot) {
    xmlNodePtr requested = TakeOutSection(requestRoot, fileRoot, "Datagrams");
    return requested != nullptr && AppendCopy(fileRoot, requested);
}

// Edits the configuration file with the request's XML argument (at least one
// byte after the code) and saves it. True when the file was written.
static bool EditConfigFile(const uint8_t *request, uint32_t length, tSectionEdit edit) {
    if (length < 3) return false;
    xmlDocPtr argument =
        xmlReadMemory(reinterpret_cast<const char *>(request + 2), static_cast<int>(length - 2),
                      nullptr, "utf-8", kRequestParseOptions);
    if (argument == nullptr) return false;
    // Held while the file is read, edited and written, so SetConfigFromFile
    // on another thread never reads it half-written.
    if (EventWait(&ConfigLock) != 0) {
        xmlFreeDoc(argument);
        return false;
    }
    bool saved = false;
    xmlDocPtr file = LoadXmlDocument(ConfigFilePath, true);
    if (file != nullptr) {
        xmlNodePtr requestRoot = GetRootElement(argument, kConfigRootName, false);
        xmlNodePtr fileRoot = GetRootElement(file, kConfigRootName, true);
        if (requestRoot != nullptr && fileRoot != nullptr && edit(requestRoot, fileRoot)) {
            // The watcher will see this save; it is applied by the caller.
            FlagSet(IgnoreConfigChange, 1);
            saved = SaveXmlDocument(ConfigFilePath, file) == 0;
            // A failed save is reported, not applied; the watcher must not
            // skip the next change made by someone else.
            if (!saved) FlagSet(IgnoreConfigChange, 0);
        }
        xmlFreeDoc(file);
    }
    EventSignal(&ConfigLock);
    xmlFreeDoc(argument);
    return saved;
}

tResult SetPort(const uint8_t *request, uint32_t length) {
    if (!EditConfigFile(request, length, ReplacePort)) return Failed();
    // The port was saved; whether it could be opened is the server's log.
    SetConfigFromFile();
    return tResult{StatusOk, nullptr, 0};
}

tResult SetDatagramResult(const uint8_t *request, uint32_t length) {
    if (!EditConfigFile(request, length, ReplaceDatagrams)) return Failed();
    uint8_t status = SetConfigFromFile() == 0 ? StatusOk : StatusFailed;
    return tResult{status, nullptr, 0};
}
