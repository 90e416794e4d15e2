// The built-in version and its parser.
#include "ipc/version.h"

#include <ctype.h>
#include <stdio.h>
#include <string.h>

const char BuiltInVersion[] = "VER_MAJOR:1VER_MINOR:4VER_PATCH:1VER_HASH:";

const char *FindAfterToken(const char *text, const char *token) {
    if (text == nullptr || token == nullptr || *text == '\0') return nullptr;
    size_t tokenLength = strlen(token);
    if (tokenLength == 0 || tokenLength > 255) return nullptr;
    uint8_t matched = 0;
    for (const char *p = text; *p != '\0';) {
        if (tolower(static_cast<unsigned char>(*p)) ==
            tolower(static_cast<unsigned char>(token[matched]))) {
            p++;
            if (++matched == tokenLength) return p;
        } else if (matched == 0) {
            p++;
        } else {
            // Compare the same character again with the token's start; the
            // text position does not move back.
            matched = 0;
        }
    }
    return nullptr;
}

static uint16_t NumberAfter(const char *text, const char *token) {
    const char *at = FindAfterToken(text, token);
    unsigned short value = 0;
    if (at == nullptr || sscanf(at, "%hu", &value) != 1) return 0;
    return value;
}

void ParseVersion(const char *text, uint16_t *major, uint16_t *minor, uint16_t *patch,
                  const char **hash) {
    if (major != nullptr) *major = NumberAfter(text, "ver_major:");
    if (minor != nullptr) *minor = NumberAfter(text, "ver_minor:");
    if (patch != nullptr) *patch = NumberAfter(text, "ver_patch:");
    if (hash != nullptr) {
        const char *at = FindAfterToken(text, "ver_hash:");
        *hash = (at != nullptr && *at != '\0') ? at : nullptr;
    }
}
