// XML document access: load, save, find or create the root, find or create an
// element by path. The configuration loader and the host commands read and
// write the configuration file only through these.
#ifndef KORVANE_CONFIG_XML_H
#define KORVANE_CONFIG_XML_H

#include <libxml/tree.h>

// A C string as libxml2's character type.
inline const xmlChar *XmlText(const char *text) {
    return reinterpret_cast<const xmlChar *>(text);
}

// Parses the file with recovery, without error output, dropping blank text
// nodes. When it cannot be parsed: an empty "1.0" document with `create`,
// else null. The caller frees the document.
xmlDocPtr LoadXmlDocument(const char *path, bool create);
// Writes the document indented in UTF-8, then sync(). 0 on success, 1 on
// failure.
int SaveXmlDocument(const char *path, xmlDocPtr document);
// The root element if it is named `name` (letter case ignored); with
// `create`, a root of another name is replaced by a new empty one. Null when
// there is none.
xmlNodePtr GetRootElement(xmlDocPtr document, const char *name, bool create);
// The element at `path` below `parent`: segments separated by runs of "/",
// each optionally indexed as Name[2] (1-based; 0 and 1 mean the first).
// Names compare without letter case. With `create` a missing element is
// appended, empty. An empty path gives `parent`.
xmlNodePtr FindElement(xmlNodePtr parent, const char *path, bool create);

#endif  // KORVANE_CONFIG_XML_H
