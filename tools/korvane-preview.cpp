// korvane-preview's main (preview.h): Korvane's own parser, handlers, codings
// and renderer, with no reader, no socket and no configuration path but the
// one it is given (docs/preview.md).
#include <libxml/parser.h>
#include <stdio.h>

#include "preview.h"

int main(int argc, char **argv) {
    int status = preview::RunTool(argc, argv, stdout, stderr);
    xmlCleanupParser();
    return status;
}
