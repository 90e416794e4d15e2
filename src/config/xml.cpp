// XML document access over libxml2.
#include "config/xml.h"

#include <libxml/parser.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

xmlDocPtr LoadXmlDocument(const char *path, bool create) {
    if (path == nullptr) return nullptr;
    xmlDocPtr document = xmlReadFile(
        path, "utf-8",
        XML_PARSE_RECOVER | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_NOBLANKS);
    if (document != nullptr || !create) return document;
    return xmlNewDoc(XmlText("1.0"));
}

int SaveXmlDocument(const char *path, xmlDocPtr document) {
    if (path == nullptr) return 1;
    if (xmlSaveFormatFileEnc(path, document, "utf-8", 3) == -1) return 1;
    sync();
    return 0;
}

xmlNodePtr GetRootElement(xmlDocPtr document, const char *name, bool create) {
    if (document == nullptr || name == nullptr) return nullptr;
    xmlNodePtr root = xmlDocGetRootElement(document);
    if (root != nullptr && xmlStrcasecmp(root->name, XmlText(name)) == 0) return root;
    if (!create) return nullptr;
    if (root != nullptr) {
        xmlUnlinkNode(root);
        xmlFreeNode(root);
    }
    xmlNodePtr fresh = xmlNewNode(nullptr, XmlText(name));
    if (fresh == nullptr) return nullptr;
    xmlDocSetRootElement(document, fresh);
    return fresh;
}

// The `index`th (1-based; 0 counts as 1) child element named `name`.
static xmlNodePtr FindChild(xmlNodePtr parent, const char *name, int index) {
    if (index < 0) return nullptr;
    if (index == 0) index = 1;
    for (xmlNodePtr child = xmlFirstElementChild(parent); child != nullptr;
         child = xmlNextElementSibling(child)) {
        if (xmlStrcasecmp(child->name, XmlText(name)) == 0 && --index == 0) return child;
    }
    return nullptr;
}

xmlNodePtr FindElement(xmlNodePtr parent, const char *path, bool create) {
    if (path == nullptr || *path == '\0') return parent;
    char *copy = strdup(path);
    if (copy == nullptr) return nullptr;
    xmlNodePtr current = parent;
    char *save = nullptr;
    for (char *segment = strtok_r(copy, "/", &save); segment != nullptr && current != nullptr;
         segment = strtok_r(nullptr, "/", &save)) {
        int index = 0;
        char *bracket = strchr(segment, '[');
        if (bracket != nullptr) {
            if (sscanf(bracket + 1, "%d", &index) != 1) index = 0;
            *bracket = '\0';
        }
        xmlNodePtr found = FindChild(current, segment, index);
        if (found == nullptr && create)
            found = xmlNewChild(current, nullptr, XmlText(segment), nullptr);
        current = found;
    }
    free(copy);
    return current;
}
