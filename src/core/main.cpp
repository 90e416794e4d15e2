// Korvane: turns the tags an RFID reader sees into datagrams for TCP clients
// and the USB keyboard.
#include "core/app.h"

int main(int argc, char **argv) {
    return RunKorvane(argc, argv);
}
