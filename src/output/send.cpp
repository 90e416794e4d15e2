// Datagram rendering and distribution.
#include "output/send.h"

// Rendering arrives with the template engine; until then no datagram is made.
void SendTagData(const tTag *, uint32_t) {}
