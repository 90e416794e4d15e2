// Korvane's built-in version and the tolerant parser that reads it back.
#ifndef KORVANE_IPC_VERSION_H
#define KORVANE_IPC_VERSION_H

#include <stdint.h>

// Items follow each other without separators; each value ends where the next
// token begins, and the hash runs to the end of the text.
extern const char BuiltInVersion[];

// The position just after the first case-insensitive occurrence of `token`
// in `text`, or null. Tokens are shorter than 256 characters.
const char *FindAfterToken(const char *text, const char *token);

// Reads major, minor and patch ("%hu" after their tokens; 0 when missing) and
// the hash (the position after its token; null when missing or empty). A null
// output is neither searched for nor written.
void ParseVersion(const char *text, uint16_t *major, uint16_t *minor, uint16_t *patch,
                  const char **hash);

#endif  // KORVANE_IPC_VERSION_H
