// Template parsing and reader command selection.
#include "datagram/template.h"

#include <stdlib.h>

tEvent DatagramLock;
tFlag ReaderCommandRunning{0};
tFlag HostCommExtendedResultFlag{0};
tFlag SkipFirstByte{0};
tFlag SkipLastByte{0};
tReadSettings ActiveReadSettings;

void FreeTemplateElements(CMyList<tDatagramElement *> &templateList) {
    tDatagramElement *element = nullptr;
    while (templateList.PopFront(element) == 0) {
        if (element == nullptr) continue;
        if (element->Kind == 0) free(element->Content);
        free(element);
    }
}
