// korvane-preview: prints the datagram Korvane would send for a template (or
// the templates of a configuration file) and one tag, with the blocks the
// parser rejects and the reader command the templates select. It runs
// Korvane's own parser, handlers, codings and renderer, and uses no reader,
// no socket and no configuration path but the one it is given
// (docs/preview.md).
#include <libxml/parser.h>
#include <stdio.h>

#include "preview.h"

int main(int argc, char **argv) {
    int status = preview::RunTool(argc, argv, stdout, stderr);
    xmlCleanupParser();
    return status;
}
