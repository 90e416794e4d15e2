// Boot keyboard reports decoded with a layout of the installed database.
#include "support/xkb_decoder.h"

#include <linux/input-event-codes.h>
#include <stdio.h>
#include <xkbcommon/xkbcommon-compose.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <memory>

namespace {

const char kXkbRoot[] = "/usr/share/X11/xkb";
const char kComposeFile[] = "/usr/share/X11/locale/en_US.UTF-8/Compose";

// Linux key codes of the usages 0x04 to 0x38, as the kernel's HID input
// driver maps them; 0 for the usages tests do not type (Escape 0x29 and the
// non-US key next to Enter 0x32).
// clang-format off
constexpr uint16_t kKeyCodes[] = {
    KEY_A, KEY_B, KEY_C, KEY_D, KEY_E, KEY_F, KEY_G, KEY_H, KEY_I, KEY_J, KEY_K, KEY_L, KEY_M,
    KEY_N, KEY_O, KEY_P, KEY_Q, KEY_R, KEY_S, KEY_T, KEY_U, KEY_V, KEY_W, KEY_X, KEY_Y, KEY_Z,
    KEY_1, KEY_2, KEY_3, KEY_4, KEY_5, KEY_6, KEY_7, KEY_8, KEY_9, KEY_0,
    KEY_ENTER, 0, KEY_BACKSPACE, KEY_TAB, KEY_SPACE, KEY_MINUS, KEY_EQUAL, KEY_LEFTBRACE,
    KEY_RIGHTBRACE, KEY_BACKSLASH, 0, KEY_SEMICOLON, KEY_APOSTROPHE, KEY_GRAVE, KEY_COMMA,
    KEY_DOT, KEY_SLASH};
// clang-format on
static_assert(sizeof(kKeyCodes) / sizeof(kKeyCodes[0]) == 0x38 - 0x04 + 1, "usages 0x04..0x38");
// Modifier byte bits and their keys: left Shift, right Shift, right Alt.
constexpr uint8_t kModifierBits[] = {0x02, 0x20, 0x40};
constexpr uint16_t kModifierCodes[] = {KEY_LEFTSHIFT, KEY_RIGHTSHIFT, KEY_RIGHTALT};

// The XKB key code of `code` (XKB numbers keys as Linux does, plus 8), or of
// `usage` when `code` is 0; 0 for a usage without a key here.
xkb_keycode_t XkbKey(uint8_t usage, uint16_t code = 0) {
    if (code == 0 && usage == 0x64) code = KEY_102ND;  // the key left of Z on 105-key keyboards
    if (code == 0 && usage >= 0x04 && usage <= 0x38) code = kKeyCodes[usage - 0x04];
    return code == 0 ? 0 : code + 8;
}

bool Holds(const HidReportBytes &report, uint8_t usage) {
    return std::find(report.begin() + 2, report.end(), usage) != report.end();
}

template <typename T>
using Owned = std::unique_ptr<T, void (*)(T *)>;

// Presses `key`: its keysym goes through the Compose state; one that starts
// or continues no sequence gives its own text, a cancelled sequence nothing.
void Press(xkb_state *state, xkb_compose_state *compose, xkb_keycode_t key, std::string *text) {
    char utf8[64] = "";
    xkb_compose_state_feed(compose, xkb_state_key_get_one_sym(state, key));
    xkb_compose_status status = xkb_compose_state_get_status(compose);
    if (status == XKB_COMPOSE_COMPOSED) xkb_compose_state_get_utf8(compose, utf8, sizeof(utf8));
    if (status == XKB_COMPOSE_NOTHING) xkb_state_key_get_utf8(state, key, utf8, sizeof(utf8));
    *text += utf8;
    xkb_state_update_key(state, key, XKB_KEY_DOWN);
}

}  // namespace

tXkbText DecodeXkbReports(const char *layout, const std::vector<HidReportBytes> &reports) {
    // The installed database itself: neither the environment (XKB_CONFIG_ROOT,
    // XCOMPOSEFILE, ~/.XCompose) nor a user's own files may change the mapping.
    Owned<xkb_context> context(
        xkb_context_new(static_cast<xkb_context_flags>(XKB_CONTEXT_NO_DEFAULT_INCLUDES |
                                                       XKB_CONTEXT_NO_ENVIRONMENT_NAMES)),
        xkb_context_unref);
    if (context == nullptr || !xkb_context_include_path_append(context.get(), kXkbRoot))
        return {"", "no XKB context"};
    const xkb_rule_names names = {"evdev", "pc105", layout, "", ""};
    Owned<xkb_keymap> keymap(
        xkb_keymap_new_from_names(context.get(), &names, XKB_KEYMAP_COMPILE_NO_FLAGS),
        xkb_keymap_unref);
    if (keymap == nullptr) return {"", std::string("no keymap for layout ") + layout};
    Owned<xkb_state> state(xkb_state_new(keymap.get()), xkb_state_unref);
    FILE *composeFile = fopen(kComposeFile, "re");
    Owned<xkb_compose_table> table(
        composeFile == nullptr ? nullptr
                               : xkb_compose_table_new_from_file(
                                     context.get(), composeFile, "en_US.UTF-8",
                                     XKB_COMPOSE_FORMAT_TEXT_V1, XKB_COMPOSE_COMPILE_NO_FLAGS),
        xkb_compose_table_unref);
    if (composeFile != nullptr) fclose(composeFile);
    Owned<xkb_compose_state> compose(
        table ? xkb_compose_state_new(table.get(), XKB_COMPOSE_STATE_NO_FLAGS) : nullptr,
        xkb_compose_state_unref);
    if (state == nullptr || compose == nullptr) return {"", "no XKB state or Compose table"};

    tXkbText result;
    HidReportBytes previous{};
    for (size_t at = 0; at < reports.size(); previous = reports[at++]) {
        const HidReportBytes &report = reports[at];
        if ((report[0] & ~(0x02 | 0x20 | 0x40)) != 0)
            return {result.text, "modifier bits in report " + std::to_string(at)};
        for (size_t i = 0; i < sizeof(kModifierBits); i++) {
            if (((report[0] ^ previous[0]) & kModifierBits[i]) == 0) continue;
            xkb_state_update_key(state.get(), XkbKey(0, kModifierCodes[i]),
                                 (report[0] & kModifierBits[i]) ? XKB_KEY_DOWN : XKB_KEY_UP);
        }
        // 0 is no key; 1 to 3 are error codes, not keys.
        for (size_t slot = 2; slot < previous.size(); slot++) {
            if (previous[slot] > 0x03 && !Holds(report, previous[slot]))
                xkb_state_update_key(state.get(), XkbKey(previous[slot]), XKB_KEY_UP);
        }
        for (size_t slot = 2; slot < report.size(); slot++) {
            if (report[slot] <= 0x03 || Holds(previous, report[slot])) continue;
            if (XkbKey(report[slot]) == 0)
                return {result.text, "usage " + std::to_string(report[slot]) + " in report " +
                                         std::to_string(at)};
            Press(state.get(), compose.get(), XkbKey(report[slot]), &result.text);
        }
    }
    return result;
}

bool ReadTypedText(int fd, HidDecoder *decoder, int timeoutMs) {
    while (decoder->Text().empty() || decoder->Text().back() != '\n' ||
           decoder->Reports().back() != MakeHidReport(0, 0)) {
        if (!decoder->ReadUntil(fd, decoder->Reports().size() + 1, timeoutMs)) return false;
    }
    return true;
}
