// The host's GetMagicWords command: the catalogue of the magic words a
// datagram template may use, as XML, a group element per group holding its
// words, each with its description and, for a word that takes a value, the
// values it takes.
#include <string.h>

#include "config/xml.h"
#include "datagram/magic_words.h"
#include "ipc/commands_internal.h"

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

tResult GetMagicWords() {
    xmlNodePtr root = nullptr;
    xmlDocPtr document = NewReplyDocument(&root);
    if (document == nullptr) return Failed();
    // Every element is attempted; any failure fails the whole catalogue.
    bool failed = false;
    xmlNodePtr groups = AddElement(root, "Groups", nullptr, &failed);
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
