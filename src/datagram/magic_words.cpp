// The magic word table and its runtime slots.
#include "datagram/magic_words.h"

#include <stdlib.h>

#include "datagram/handlers.h"

static const char kGroupEpc[] = "EPC";
static const char kGroupTagData[] = "Tag data";
static const char kGroupTagInfo[] = "Tag info";
static const char kGroupFormat[] = "Format";

const char *const MagicWordGroups[kMagicWordGroupCount] = {kGroupEpc, kGroupTagData, kGroupTagInfo,
                                                           kGroupFormat};

static const char kCodingDescription[] = "0: Binary, 1: Text, 2: VDA";

// Rows in the order the host lists them. The two "Coding=" rows share a
// handler; so do the five control-byte words, which tell their byte apart by
// the word code.
const tMagicWord MagicWordTable[kMagicWordCount] = {
    {"EPC", 0x00001, HandleMagicWordEpc, kGroupEpc, 0, nullptr},
    {"Coding=", 0x00101, HandleMagicWordCoding, kGroupEpc, 1, kCodingDescription},
    {"MemoryBank=", 0x00002, HandleMagicWordMemoryBank, kGroupTagData, 1,
     "0: RFU, 1: EPC, 2: TID, 3: User"},
    {"Pointer=", 0x00002, HandleMagicWordPointer, kGroupTagData, 1, "Byte address pointer"},
    {"Length=", 0x00002, HandleMagicWordLength, kGroupTagData, 1,
     "Bytes to read, special case 0xFFFFFFFF"},
    {"Password=", 0x00102, HandleMagicWordPassword, kGroupTagData, 1, nullptr},
    {"Error=", 0x00102, HandleMagicWordError, kGroupTagData, 1, nullptr},
    {"Coding=", 0x00102, HandleMagicWordCoding, kGroupTagData, 1, kCodingDescription},
    {"AntennaPort", 0x00103, HandleMagicWordAntennaPort, kGroupTagInfo, 0, nullptr},
    {"AntennaProperty", 0x00104, HandleMagicWordAntennaProperty, kGroupTagInfo, 0, nullptr},
    {"RSSI", 0x00105, HandleMagicWordRssi, kGroupTagInfo, 0, nullptr},
    {"RSSIDBM", 0x00106, HandleMagicWordRssiDbm, kGroupTagInfo, 0, nullptr},
    {"Timestamp", 0x00107, HandleMagicWordTimestamp, kGroupTagInfo, 0,
     "Format \"1970-01-01 00:00:00\""},
    {"TimestampMS", 0x00108, HandleMagicWordTimestampMs, kGroupTagInfo, 0, nullptr},
    {"PC", 0x00109, HandleMagicWordPc, kGroupTagInfo, 0, nullptr},
    {"XPC_W1", 0x0010A, HandleMagicWordXpcW1, kGroupTagInfo, 0, nullptr},
    {"XPC_W2", 0x0010B, HandleMagicWordXpcW2, kGroupTagInfo, 0, nullptr},
    {"LF", 0x1010C, HandleMagicWordFormat, kGroupFormat, 0, nullptr},
    {"CR", 0x1010D, HandleMagicWordFormat, kGroupFormat, 0, nullptr},
    {"TAB", 0x1010E, HandleMagicWordFormat, kGroupFormat, 0, nullptr},
    {"NUL", 0x1010F, HandleMagicWordFormat, kGroupFormat, 0, nullptr},
    {"STX", 0x10110, HandleMagicWordFormat, kGroupFormat, 0, nullptr},
    {"Hex=", 0x10111, HandleMagicWordHex, kGroupFormat, 1, nullptr},
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
