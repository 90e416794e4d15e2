// Fuzz target: the configuration loader with an arbitrary configuration
// file.
//
// The input is written to a private file that ConfigFilePath names, and
// SetConfigFromFile applies it twice, as at start-up and as after a save that
// changed nothing. The reader is not connected, so the loader never waits for
// it; the listening socket it opens lives in the target's own network
// namespace.
//
// Checked: a file that was read becomes the applied document, whose root is
// the configuration root; the first application always leaves a listening
// socket; every template text that is stored has been parsed into elements
// and every absent one has none, and the elements are well-formed; keyboard
// emulation is on or off; applying the same file again changes no template
// and no setting.
#include <libxml/tree.h>
#include <stddef.h>
#include <stdint.h>

#include <string>

#include "config/config.h"
#include "config/xml.h"
#include "harness.h"
#include "output/server.h"
#include "sync/lists.h"

namespace {

std::string ConfigPath;

CMyList<tDatagramElement *> *const kLists[kTemplateCount] = {
    &ComingTemplate, &GoingTemplate, &StartTemplate, &HeartbeatTemplate, &StopTemplate};
char **const kTexts[kTemplateCount] = {&ComingText, &GoingText, &StartText, &HeartbeatText,
                                       &StopText};

struct tApplied {
    bool present[kTemplateCount];
    std::string texts[kTemplateCount];
    uint8_t keyboard;
};

// Checks what an application left and returns it.
tApplied CheckApplied(uint32_t result) {
    if (result == 0) FUZZ_CHECK(AppliedConfig != nullptr, "success without an applied document");
    if (AppliedConfig != nullptr) {
        xmlNodePtr root = xmlDocGetRootElement(AppliedConfig);
        FUZZ_CHECK(
            root != nullptr && xmlStrcasecmp(root->name, XmlText("KorvaneConfiguration")) == 0,
            "the applied document lacks the configuration root");
        FUZZ_CHECK(ListenSocket != -1, "an applied configuration left no listening socket");
    }
    tApplied applied{};
    for (int i = 0; i < kTemplateCount; i++) {
        const char *text = *kTexts[i];
        CheckTemplateElements(*kLists[i]);
        FUZZ_CHECK(text == nullptr || *text != '\0', "an empty template text is stored");
        FUZZ_CHECK((text != nullptr) == (kLists[i]->Count() != 0),
                   "a stored template and its parsed elements disagree");
        applied.present[i] = text != nullptr;
        if (text != nullptr) applied.texts[i] = text;
    }
    applied.keyboard = FlagGet(KeyboardEmulationEnabled);
    FUZZ_CHECK(applied.keyboard <= 1, "keyboard emulation is neither on nor off");
    return applied;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    EnterPrivateNetwork();
    ConfigPath = MakePrivateDirectory("config") + "/korvane.config.xml";
    ConfigFilePath = ConfigPath.c_str();
    InitKorvaneGlobals();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    WriteWholeFile(ConfigPath, data, size);
    tApplied first = CheckApplied(SetConfigFromFile());
    bool hadDocument = AppliedConfig != nullptr;
    tApplied second = CheckApplied(SetConfigFromFile());
    FUZZ_CHECK(hadDocument == (AppliedConfig != nullptr), "the same file read differently");
    for (int i = 0; i < kTemplateCount; i++) {
        FUZZ_CHECK(first.present[i] == second.present[i] && first.texts[i] == second.texts[i],
                   "applying the same file again changed a template");
    }
    FUZZ_CHECK(first.keyboard == second.keyboard,
               "applying the same file again changed keyboard emulation");
    ResetKorvaneGlobals();
    return 0;
}
