#!/usr/bin/env python3
"""Generates Korvane's keyboard layout tables from the installed XKB database.

For every layout named, the script builds what the PC on the other end of the
keyboard gadget builds for it: the `pc` symbols plus the layout's default
section, includes resolved and merged the way XKB merges them. For each
printable ASCII character it then picks the key and modifiers that give the
character on that layout, and writes the C++ table declared in
src/output/keyboard_layouts.h.

    keyboard-layouts.py [--symbols DIR] [--keysyms FILE] [--out FILE]
                        [--markdown FILE] [LAYOUT ...]

Only the main block of the keyboard and the extra key left of Z are used,
with the modifiers none, Shift, AltGr (right Alt; only on layouts that make
it the level-3 switch) and Shift+AltGr. `^`, `` ` `` and `~` may come from a
dead key followed by space. Any problem (a missing file or section, a key
type or keysym the script does not know on a key it uses) stops the script
with exit status 1 before anything is written.
"""

import argparse
import os
import re
import sys
import tempfile

DEFAULT_LAYOUTS = ["us", "de", "fr", "gb", "es", "it", "ch", "be", "se", "no", "dk", "fi", "pt",
                   "nl"]

# XKB key name -> HID usage, in order of preference.
MAIN_KEYS = (
    [("TLDE", 0x35)]
    + [("AE%02d" % (i + 1), 0x1E + i) for i in range(10)]
    + [("AE11", 0x2D), ("AE12", 0x2E)]
    + [("AD%02d" % (i + 1), u)
       for i, u in enumerate([0x14, 0x1A, 0x08, 0x15, 0x17, 0x1C, 0x18, 0x0C, 0x12, 0x13])]
    + [("AD11", 0x2F), ("AD12", 0x30)]
    + [("AC%02d" % (i + 1), u)
       for i, u in enumerate([0x04, 0x16, 0x07, 0x09, 0x0A, 0x0B, 0x0D, 0x0E, 0x0F])]
    + [("AC10", 0x33), ("AC11", 0x34), ("BKSL", 0x31)]
    + [("AB%02d" % (i + 1), u) for i, u in enumerate([0x1D, 0x1B, 0x06, 0x19, 0x05, 0x11, 0x10])]
    + [("AB08", 0x36), ("AB09", 0x37), ("AB10", 0x38), ("SPCE", 0x2C), ("LSGT", 0x64)]
)
SPACE_USAGE = 0x2C

SHIFT = 0x02
ALTGR = 0x40
EXTRA_KEY = "LSGT"
# Order of preference: fewest modifiers first; within one modifier
# combination direct keys before dead keys, then levels the layout's own
# file defines before levels inherited from another file (other systems'
# layouts of the same name follow the layout's own keys, not what generic
# files such as `latin` add), each in the order of MAIN_KEYS.
# The extra key left of Z (False: the main block only, True: that key only,
# None: both) comes after the main block's levels without AltGr: it is
# missing from many keyboards, and what it gives differs between systems for
# the same layout (on the US layout, `pc` makes it < and >).
STAGES = [(0, False), (SHIFT, False), (0, True), (SHIFT, True),
          (ALTGR, None), (SHIFT | ALTGR, None)]

# Key types: the level (0-based) each modifier combination selects. Types not
# listed here are refused on the keys the tables use.
_ONE = {0: 0, SHIFT: 0, ALTGR: 0, SHIFT | ALTGR: 0}
_TWO = {0: 0, SHIFT: 1, ALTGR: 0, SHIFT | ALTGR: 1}
_THREE = {0: 0, SHIFT: 1, ALTGR: 2, SHIFT | ALTGR: 2}
_FOUR = {0: 0, SHIFT: 1, ALTGR: 2, SHIFT | ALTGR: 3}
KEY_TYPES = {"ONE_LEVEL": _ONE, "TWO_LEVEL": _TWO, "ALPHABETIC": _TWO, "KEYPAD": _TWO,
             "THREE_LEVEL": _THREE}
for _name in ["FOUR_LEVEL", "FOUR_LEVEL_ALPHABETIC", "FOUR_LEVEL_SEMIALPHABETIC",
              "FOUR_LEVEL_PLUS_LOCK", "EIGHT_LEVEL", "EIGHT_LEVEL_ALPHABETIC",
              "EIGHT_LEVEL_SEMIALPHABETIC", "EIGHT_LEVEL_LEVEL_FIVE_LOCK",
              "EIGHT_LEVEL_ALPHABETIC_LEVEL_FIVE_LOCK"]:
    KEY_TYPES[_name] = _FOUR

# Dead keys whose dead key followed by space gives the ASCII character itself.
DEAD_KEYS = {"dead_circumflex": "^", "dead_grave": "`", "dead_tilde": "~"}

MERGE_MODES = ("include", "augment", "override", "replace", "alternate")


class Error(Exception):
    pass


# --- keysyms -----------------------------------------------------------------

def read_keysyms(path):
    """Keysym name -> Unicode code point (None for keysyms with no character)."""
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            text = f.read()
    except OSError as e:
        raise Error("cannot read the keysym names: %s" % e)
    names = {}
    pattern = re.compile(r"^#define XK_(\w+)\s+0x([0-9A-Fa-f]+)\s*(/\*.*)?$", re.M)
    for m in pattern.finditer(text):
        value = int(m.group(2), 16)
        comment = m.group(3) or ""
        exact = re.match(r"/\*\s*U\+([0-9A-Fa-f]{4,6})", comment)
        names[m.group(1)] = int(exact.group(1), 16) if exact else keysym_value_to_unicode(value)
    if not names:
        raise Error("%s defines no keysym" % path)
    return names


def keysym_value_to_unicode(value):
    if 0x20 <= value <= 0x7E or 0xA0 <= value <= 0xFF:
        return value  # Latin-1 keysyms are their code points
    if value >> 24 == 0x01:
        return value & 0xFFFFFF
    return None


def keysym_char(name, keysyms):
    """The character a keysym name gives; None when it gives none. Raises for
    names that are not keysyms."""
    if name in keysyms:
        code = keysyms[name]
    elif re.fullmatch(r"U[0-9A-Fa-f]{4,6}", name):
        code = int(name[1:], 16)
    elif re.fullmatch(r"0x[0-9A-Fa-f]+", name):
        code = keysym_value_to_unicode(int(name, 16))
    elif len(name) == 1:
        code = ord(name)
    else:
        raise Error("unknown keysym name %r" % name)
    return chr(code) if code is not None else None


# --- the symbols files ---------------------------------------------------------

TOKEN = re.compile(r'\s+|//[^\n]*|#[^\n]*|/\*.*?\*/'  # blanks and comments
                   r'|"(?P<str>[^"]*)"|<(?P<key>[^>]+)>|(?P<id>\w+)|(?P<p>.)', re.S)


def tokenize(text, path):
    tokens = []
    for m in TOKEN.finditer(text):
        if m.group("str") is not None:
            tokens.append(("str", m.group("str")))
        elif m.group("key") is not None:
            tokens.append(("key", m.group("key")))
        elif m.group("id") is not None:
            tokens.append(("id", m.group("id")))
        elif m.group("p") is not None:
            if m.group("p") not in "{}[]();=,.!+-":
                raise Error("%s: unexpected character %r" % (path, m.group("p")))
            tokens.append(("p", m.group("p")))
    return tokens


class Parser:
    def __init__(self, tokens, path):
        self.tokens = tokens
        self.pos = 0
        self.path = path

    def peek(self, offset=0):
        i = self.pos + offset
        return self.tokens[i] if i < len(self.tokens) else ("eof", None)

    def next(self):
        token = self.peek()
        if token[0] == "eof":
            raise Error("%s: unexpected end of file" % self.path)
        self.pos += 1
        return token

    def expect(self, kind, value=None):
        token = self.next()
        if token[0] != kind or (value is not None and token[1] != value):
            raise Error("%s: expected %s, found %r" % (self.path, value or kind, token[1]))
        return token[1]

    def skip_to(self, stops):
        """Skips a balanced run of tokens up to (not past) one of `stops`."""
        depth = 0
        while True:
            kind, value = self.peek()
            if kind == "eof":
                raise Error("%s: unexpected end of file" % self.path)
            if depth == 0 and kind == "p" and value in stops:
                return
            if kind == "p" and value in "{[(":
                depth += 1
            elif kind == "p" and value in "}])":
                depth -= 1
            self.pos += 1


def parse_file(text, path):
    """Sections of a symbols file: [(name, is_default, statements)]."""
    p = Parser(tokenize(text, path), path)
    sections = []
    while p.peek()[0] != "eof":
        is_default = False
        while p.peek() != ("id", "xkb_symbols"):
            kind, value = p.next()
            if kind != "id":
                raise Error("%s: expected xkb_symbols, found %r" % (path, value))
            is_default = is_default or value == "default"
        p.next()
        name = p.expect("str")
        p.expect("p", "{")
        sections.append((name, is_default, parse_body(p)))
        p.expect("p", "}")
        p.expect("p", ";")
    return sections


def parse_body(p):
    """Statements of a section: ("include", merge, names), ("key", merge, name,
    key) and ("default_type", type)."""
    statements = []
    while p.peek() != ("p", "}"):
        kind, value = p.peek()
        merge = "default"
        if kind == "id" and value in MERGE_MODES:
            p.next()
            if p.peek()[0] == "str":
                merge = "default" if value == "include" else value
                statements.append(("include", merge, p.next()[1]))
                continue
            merge = value
            kind, value = p.peek()
        if (kind, value) == ("id", "key") and p.peek(1)[0] == "key":
            p.next()
            name = p.next()[1]
            p.expect("p", "{")
            statements.append(("key", merge, name, parse_key(p)))
            p.expect("p", "}")
        elif (kind, value) == ("id", "key") and p.peek(1) == ("p", ".") \
                and p.peek(2) == ("id", "type"):
            p.pos += 3
            group = parse_group_index(p)
            p.expect("p", "=")
            type_name = p.expect("str")
            if group == 1:
                statements.append(("default_type", type_name))
        else:
            p.skip_to(";")  # name[...], modifier_map, virtual_modifiers, other defaults
        p.expect("p", ";")
    return statements


def parse_group_index(p):
    """An optional `[GroupN]`; None when absent."""
    if p.peek() != ("p", "["):
        return None
    p.next()
    value = p.expect("id")
    p.expect("p", "]")
    m = re.fullmatch(r"(?:group)?(\d+)", value, re.I)
    if not m:
        raise Error("%s: bad group %r" % (p.path, value))
    return int(m.group(1))


def parse_key(p):
    """The first group of a key: {"type": name or None, "levels": [keysym
    name, a tuple of names for several keysyms, or None]}."""
    key = {"type": None, "levels": None}
    bare_lists = 0
    while p.peek() != ("p", "}"):
        if p.peek() == ("p", "["):
            bare_lists += 1
            levels = parse_levels(p)
            if bare_lists == 1:
                key["levels"] = levels
        else:
            field = p.expect("id").lower()
            group = parse_group_index(p)
            p.expect("p", "=")
            if field == "type" and group in (None, 1):
                key["type"] = p.expect("str")
            elif field == "symbols" and group == 1:
                key["levels"] = parse_levels(p)
            else:
                p.skip_to(",}")
        if p.peek() == ("p", ","):
            p.next()
    return key


def parse_levels(p):
    p.expect("p", "[")
    levels = []
    while p.peek() != ("p", "]"):
        if p.peek() == ("p", "{"):
            p.next()
            names = []
            while p.peek() != ("p", "}"):
                names.append(p.expect("id"))
                if p.peek() == ("p", ","):
                    p.next()
            p.next()
            levels.append(tuple(names) if names else None)
        else:
            name = p.expect("id")
            levels.append(None if name == "NoSymbol" else name)
        if p.peek() == ("p", ","):
            p.next()
    p.next()
    return levels


# --- resolving and merging ----------------------------------------------------

class Database:
    def __init__(self, directory):
        self.directory = directory
        self.files = {}

    def section(self, file_name, section_name):
        if file_name not in self.files:
            path = os.path.join(self.directory, file_name)
            try:
                with open(path, encoding="utf-8", errors="replace") as f:
                    text = f.read()
            except OSError as e:
                raise Error("cannot read symbols file %r: %s" % (file_name, e.strerror))
            self.files[file_name] = parse_file(text, path)
        sections = self.files[file_name]
        if not sections:
            raise Error("symbols file %r has no section" % file_name)
        if section_name is None:
            defaults = [s for s in sections if s[1]]
            return (defaults or sections)[0]
        for section in sections:
            if section[0] == section_name:
                return section
        raise Error("symbols file %r has no section %r" % (file_name, section_name))


def add_key(info, name, key, merge, origins):
    """Adds one key definition to `info` (key name -> [type, levels, merge,
    origins]); `origins` names, level by level, the symbols file that defined
    the level."""
    levels = key["levels"] or []
    if name not in info or merge == "replace":
        info[name] = [key["type"], list(levels), merge, list(origins[:len(levels)])]
        return
    into = info[name]
    clobber = merge != "augment"
    if key["type"] is not None and (into[0] is None or clobber):
        into[0] = key["type"]
    for i, level in enumerate(levels):
        if i >= len(into[1]):
            into[1].append(level)
            into[3].append(origins[i])
        elif level is not None and (into[1][i] is None or clobber):
            into[1][i] = level
            into[3][i] = origins[i]


def merge_included(into, included, merge):
    if not into:
        into.update(included)
        return
    for name, (type_name, levels, key_merge, origins) in included.items():
        add_key(into, name, {"type": type_name, "levels": levels},
                key_merge if merge == "default" else merge, origins)


def resolve_include(db, names, merge, depth):
    """The keys of the include statement naming `names` ("pc+fr", "latin(type4)", ...)."""
    included = {}
    for separator, part in re.findall(r"([+|]?)([^+|]+)", names):
        m = re.fullmatch(r"([\w.-]+)(?:\(([^)]*)\))?(?::(\d+))?", part.strip())
        if not m:
            raise Error("bad include %r" % names)
        if m.group(3) not in (None, "1"):
            continue  # goes to another group
        keys = resolve_section(db, m.group(1), m.group(2), depth + 1)
        part_merge = merge if not separator else ("augment" if separator == "|" else "override")
        merge_included(included, keys, part_merge)
    return included


def resolve_section(db, file_name, section_name, depth=0):
    if depth > 20:
        raise Error("includes nested too deeply at %s(%s)" % (file_name, section_name or ""))
    section, _, statements = db.section(file_name, section_name)
    info = {}
    default_type = None
    for statement in statements:
        if statement[0] == "include":
            try:
                keys = resolve_include(db, statement[2], statement[1], depth)
            except Error as e:
                raise Error("%s; included from %s(%s)" % (e, file_name, section))
            merge_included(info, keys, statement[1])
        elif statement[0] == "default_type":
            default_type = statement[1]
        else:
            _, merge, name, key = statement
            if key["type"] is None and default_type is not None:
                key = {"type": default_type, "levels": key["levels"]}
            add_key(info, name, key, merge, [file_name] * len(key["levels"] or []))
    return info


def key_symbol(info, name, modifier, layout):
    """The keysym key `name` gives with `modifier` (None: none), the level
    chosen by the key's type as XKB chooses it, and the symbols file that
    defined that level."""
    if name not in info:
        return None, None
    type_name, levels, _, origins = info[name]
    if type_name is None:
        width = len(levels)
        if width <= 1:
            type_name = "ONE_LEVEL"
        elif width == 2:
            type_name = "TWO_LEVEL"
        elif width <= 4:
            type_name = "FOUR_LEVEL"
        else:
            raise Error("%s: key <%s> has %d levels and no type" % (layout, name, width))
    if type_name not in KEY_TYPES:
        raise Error("%s: key <%s> has the unknown type %r" % (layout, name, type_name))
    level = KEY_TYPES[type_name][modifier]
    return (levels[level], origins[level]) if level < len(levels) else (None, None)


# --- the tables --------------------------------------------------------------

def build_layout(db, keysyms, layout):
    """The table of one layout: char -> (dead (modifier, usage) or None,
    key (modifier, usage)), for the characters it can type."""
    try:
        info = resolve_include(db, "pc+" + layout, "default", 0)
    except Error as e:
        raise Error("layout %s: %s" % (layout, e))
    # AltGr works where the right Alt key is the level-3 switch, with Shift
    # held too for Shift+AltGr (the host sees Shift go down first).
    usable = [0, SHIFT] + [m for m in (ALTGR, SHIFT | ALTGR)
               if key_symbol(info, "RALT", m & SHIFT, layout)[0] == "ISO_Level3_Shift"]
    space_works = key_symbol(info, "SPCE", 0, layout)[0] == "space"
    table = {}
    for modifier, extra in STAGES:
        if modifier not in usable:
            continue
        # Index 0: levels the layout's own file defines; 1: inherited ones.
        direct = ({}, {})
        dead = ({}, {})
        for name, usage in MAIN_KEYS:
            if extra not in (None, name == EXTRA_KEY):
                continue
            symbol, origin = key_symbol(info, name, modifier, layout)
            if symbol is None or isinstance(symbol, tuple):
                continue
            inherited = int(origin != layout)
            if symbol in DEAD_KEYS:
                dead[inherited].setdefault(DEAD_KEYS[symbol], (modifier, usage))
                continue
            try:
                char = keysym_char(symbol, keysyms)
            except Error as e:
                raise Error("%s: key <%s>: %s" % (layout, name, e))
            if char is not None and " " <= char <= "~":
                direct[inherited].setdefault(char, (modifier, usage))
        for found in direct:
            for char, key in found.items():
                table.setdefault(char, (None, key))
        if space_works:
            for found in dead:
                for char, key in found.items():
                    table.setdefault(char, (key, (0, SPACE_USAGE)))
    return table


def render_cpp(tables):
    lines = [
        "// Keyboard layout tables, generated at build time by tools/keyboard-layouts.py",
        "// from the installed keyboard layout database. Do not edit.",
        '#include "output/keyboard_layouts.h"',
        "",
        "const tKeyboardLayout kKeyboardLayouts[] = {",
    ]
    for name, table in tables:
        lines.append('    {"%s",' % name)
        lines.append("     {")
        for code in range(0x20, 0x7F):
            dead, key = table.get(chr(code), (None, (0, 0)))
            dead = dead or (0, 0)
            lines.append("         {{0x%02X, 0x%02X}, {0x%02X, 0x%02X}},  /* 0x%02X %s */"
                         % (dead[0], dead[1], key[0], key[1], code, chr(code)))
        lines.append("     }},")
    lines += [
        "};",
        "const size_t kKeyboardLayoutCount = sizeof(kKeyboardLayouts) / sizeof(kKeyboardLayouts[0]);",
        "",
    ]
    return "\n".join(lines)


def code_span(chars):
    return " ".join("`` ` ``" if c == "`" else "`%s`" % c for c in chars)


def render_markdown(tables):
    lines = ["| Layout | Cannot type | Dead key, then space |", "| --- | --- | --- |"]
    for name, table in tables:
        missing = [chr(c) for c in range(0x20, 0x7F) if chr(c) not in table]
        dead = [chr(c) for c in range(0x20, 0x7F) if chr(c) in table and table[chr(c)][0] is not None]
        lines.append("| `%s` | %s | %s |" % (name, code_span(missing).replace("|", "\\|") or "none",
                                             code_span(dead) or "none"))
    return "\n".join(lines) + "\n"


def write_atomically(path, text):
    """Writes a regular file through a temporary one renamed over it, so a
    reader never sees half a table; anything else (a pipe, /dev/stdout) is
    written directly."""
    if os.path.exists(path) and not os.path.isfile(path):
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        return
    path = os.path.realpath(path)
    directory = os.path.dirname(path)
    os.makedirs(directory, exist_ok=True)
    fd, temporary = tempfile.mkstemp(dir=directory, prefix=".keyboard-layouts.")
    try:
        umask = os.umask(0)
        os.umask(umask)
        os.fchmod(fd, 0o666 & ~umask)
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            f.write(text)
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


def main():
    parser = argparse.ArgumentParser(description="Generates the keyboard layout tables.")
    parser.add_argument("--symbols", default="/usr/share/X11/xkb/symbols", help="XKB symbols directory")
    parser.add_argument("--keysyms", default="/usr/include/X11/keysymdef.h", help="keysymdef.h")
    parser.add_argument("--out", help="the C++ file to write")
    parser.add_argument("--markdown", help="the table of characters each layout cannot type")
    parser.add_argument("layouts", nargs="*", default=DEFAULT_LAYOUTS)
    args = parser.parse_args()
    if not args.out and not args.markdown:
        parser.error("nothing to write: give --out and/or --markdown")
    names = sorted({name.lower() for name in args.layouts})
    try:
        if not os.path.isdir(args.symbols):
            raise Error("no symbols directory %s" % args.symbols)
        for name in names:
            if not re.fullmatch(r"[a-z0-9_-]+", name):
                raise Error("bad layout name %r" % name)
        keysyms = read_keysyms(args.keysyms)
        db = Database(args.symbols)
        tables = [(name, build_layout(db, keysyms, name)) for name in names]
        cpp = render_cpp(tables)
        markdown = render_markdown(tables)
        if args.out:
            write_atomically(args.out, cpp)
        if args.markdown:
            write_atomically(args.markdown, markdown)
    except (Error, OSError) as e:
        print("keyboard-layouts.py: error: %s" % e, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
