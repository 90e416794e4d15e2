// korvane-preview: prints the datagram Korvane would send for a template (or
// the templates of a configuration file) and one tag, the blocks the parser
// rejects and why, and the reader command the templates select. The tool's
// main and its tests both run it through RunTool. See docs/preview.md.
#ifndef KORVANE_TOOLS_PREVIEW_H
#define KORVANE_TOOLS_PREVIEW_H

#include <stdio.h>

#include <string>

namespace preview {

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitBadInput = 1;  // a value out of range, a file that cannot be used
constexpr int kExitUsage = 2;     // a malformed command line

// One whole run on the command line `argv` (which getopt_long may reorder):
// the datagram goes to `out`, the report and the messages to `err`; getopt
// tells of an unknown option or a missing value itself, on standard error,
// as Korvane's log of the parse with --verbose. Returns the exit status.
int RunTool(int argc, char **argv, FILE *out, FILE *err);

// The bytes as one line of text that gives them back: printable ASCII
// (0x20-0x7E) stands for itself except the backslash, written "\\"; CR, LF,
// TAB and NUL are "\r", "\n", "\t" and "\0"; every other byte is "\x" and two
// upper-case hex digits.
std::string EscapeBytes(const std::string &bytes);
// As hexdump -C shows the bytes, 16 a line: the offset, the bytes in hex (a
// gap after the eighth), the printable ones between bars.
std::string HexDump(const std::string &bytes);

}  // namespace preview

#endif  // KORVANE_TOOLS_PREVIEW_H
