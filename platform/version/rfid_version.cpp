// rfid-version: stand-in for the reader platform's version tool.
//
// Korvane runs "rfid-version -u" and takes the first line of its output as the
// device-type identifier. The stand-in prints READERSIM_DEVICE_TYPE when that
// is set and non-empty, nothing when it is set but empty (a device that
// reports no type), and a fixed default identifier otherwise.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

const char kDefaultDeviceType[] = "A1F04C62-7B3D-4E91-8D25-6C0E9B47F318";

int main(int argc, char **argv) {
    if (argc != 2 || strcmp(argv[1], "-u") != 0) {
        fprintf(stderr, "usage: %s -u    (print the device-type identifier)\n",
                argc > 0 ? argv[0] : "rfid-version");
        return 2;
    }
    const char *type = getenv("READERSIM_DEVICE_TYPE");
    if (type == nullptr) type = kDefaultDeviceType;
    if (type[0] != '\0' && printf("%s\n", type) < 0) return 1;
    // A failed write must not pass for an empty identifier.
    return fflush(stdout) == 0 ? 0 : 1;
}
