// The magic word table and its runtime slots.
#include "datagram/magic_words.h"

#include <stdlib.h>

static const char kGroupEpc[] = "EPC";
static const char kGroupTagData[] = "Tag data";
static const char kGroupTagInfo[] = "Tag info";
static const char kGroupFormat[] = "Format";

const char *const MagicWordGroups[kMagicWordGroupCount] = {kGroupEpc, kGroupTagData, kGroupTagInfo,
                                                           kGroupFormat};

static const char kCodingDescription[] = "0: Binary, 1: Text, 2: VDA";

// The handlers come with the template engine; until then every row renders
// nothing.
const tMagicWord MagicWordTable[kMagicWordCount] = {
    {"EPC", 0x00001, nullptr, kGroupEpc, 0, nullptr},
    {"Coding=", 0x00101, nullptr, kGroupEpc, 1, kCodingDescription},
    {"MemoryBank=", 0x00002, nullptr, kGroupTagData, 1, "0: RFU, 1: EPC, 2: TID, 3: User"},
    {"Pointer=", 0x00002, nullptr, kGroupTagData, 1, "Byte address pointer"},
    {"Length=", 0x00002, nullptr, kGroupTagData, 1, "Bytes to read, special case 0xFFFFFFFF"},
    {"Password=", 0x00102, nullptr, kGroupTagData, 1, nullptr},
    {"Error=", 0x00102, nullptr, kGroupTagData, 1, nullptr},
    {"Coding=", 0x00102, nullptr, kGroupTagData, 1, kCodingDescription},
    {"AntennaPort", 0x00103, nullptr, kGroupTagInfo, 0, nullptr},
    {"AntennaProperty", 0x00104, nullptr, kGroupTagInfo, 0, nullptr},
    {"RSSI", 0x00105, nullptr, kGroupTagInfo, 0, nullptr},
    {"RSSIDBM", 0x00106, nullptr, kGroupTagInfo, 0, nullptr},
    {"Timestamp", 0x00107, nullptr, kGroupTagInfo, 0, "Format \"1970-01-01 00:00:00\""},
    {"TimestampMS", 0x00108, nullptr, kGroupTagInfo, 0, nullptr},
    {"PC", 0x00109, nullptr, kGroupTagInfo, 0, nullptr},
    {"XPC_W1", 0x0010A, nullptr, kGroupTagInfo, 0, nullptr},
    {"XPC_W2", 0x0010B, nullptr, kGroupTagInfo, 0, nullptr},
    {"LF", 0x1010C, nullptr, kGroupFormat, 0, nullptr},
    {"CR", 0x1010D, nullptr, kGroupFormat, 0, nullptr},
    {"TAB", 0x1010E, nullptr, kGroupFormat, 0, nullptr},
    {"NUL", 0x1010F, nullptr, kGroupFormat, 0, nullptr},
    {"STX", 0x10110, nullptr, kGroupFormat, 0, nullptr},
    {"Hex=", 0x10111, nullptr, kGroupFormat, 1, nullptr},
};

tMagicWordSlot MagicWordSlots[kMagicWordCount];

void InitMagicWordSlots() {
    for (int i = 0; i < kMagicWordCount; i++) {
        MagicWordSlots[i] = tMagicWordSlot{&MagicWordTable[i], 0, nullptr, 0, nullptr, 0};
    }
}

void FreeMagicWordSlots() {
    for (tMagicWordSlot &slot : MagicWordSlots) {
        free(slot.Text);
        slot.Text = nullptr;
        slot.TextLength = 0;
        free(slot.Extra);
        slot.Extra = nullptr;
        slot.ExtraLength = 0;
    }
}
