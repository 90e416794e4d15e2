// Rendering a typical datagram: EPC, antenna port, RSSI in dBm, millisecond
// time stamp, CR LF. Measures SendTagData with one listener that has no
// socket, so the figure is the rendering itself.
#include <benchmark/benchmark.h>
#include <string.h>

#include "config/config.h"
#include "datagram/magic_words.h"
#include "datagram/template.h"
#include "output/keyboard.h"
#include "output/send.h"
#include "output/server.h"
#include "reader/tag.h"
#include "sync/lists.h"

namespace {

const char kTemplate[] = "{EPC};{AntennaPort};{RSSIDBM};{TimestampMS}{CR}{LF}";

void SetUpTemplate() {
    InitMagicWordSlots();
    EventInit(&DatagramLock, 1);
    EventInit(&ClientsLock, 1);
    EventInit(&KeyboardLock, 1);
    free(ComingText);
    ComingText = strdup(kTemplate);
    ParseDatagramResultString(true, false, ComingText, ComingTemplate);
    FlagSet(ClientConnected, 1);
}

void TearDownTemplate() {
    FlagSet(ClientConnected, 0);
    FreeTemplateElements(ComingTemplate);
    FreeMagicWordSlots();
    FreeStoredTemplateTexts();
}

tTag TypicalTag() {
    tTag tag;
    memset(&tag, 0, sizeof(tag));
    tag.event = 0xFF;
    tag.antenna = 0x02;
    tag.rssiDbm = -61;
    tag.epcLength = 6;
    const uint16_t epc[6] = {0x3034, 0x257B, 0xF719, 0x0001, 0x86A0, 0x2B3C};
    memcpy(tag.epc, epc, sizeof(epc));
    tag.timestampMs = 1764999999123ull;
    return tag;
}

void BM_RenderTypicalDatagram(benchmark::State &state) {
    SetUpTemplate();
    tTag tag = TypicalTag();
    for (auto _ : state) {
        SendTagData(&tag, 0);
        tag.timestampMs++;
    }
    state.SetItemsProcessed(state.iterations());
    TearDownTemplate();
}
BENCHMARK(BM_RenderTypicalDatagram);

}  // namespace

BENCHMARK_MAIN();
