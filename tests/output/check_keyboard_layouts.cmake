# Runs tools/keyboard-layouts.py as the build does and checks:
# - docs/keyboard-layouts.md holds, between its markers, exactly the table the
#   generator gives now for the installed database;
# - on a small database of its own: the section marked default is used, a
#   NoSymbol level keeps what an include put there, `replace` drops the whole
#   earlier key, and a character no key gives, or only a level-3 key on a
#   layout without a level-3 switch, gets usage 0;
# - for the same modifiers, a level the layout's own file defines (in the
#   layout's section or a section of the same file it includes) wins over one
#   inherited from another file, whatever the key order; a key the layout
#   redefines keeps the origin of the levels it leaves alone and takes over
#   those it redefines or adds; fewer modifiers
#   and a direct key before a dead key still come first;
# - a layout whose include is missing stops the generator with status 1, a
#   message naming the include, and the output file untouched, even when the
#   other layouts asked for are fine.
# Variables: PYTHON, SCRIPT, SYMBOLS, KEYSYMS, DOC, WORK_DIR.

# Runs the generator on `layout` of the small database; every further
# argument must be a line of the table it writes.
function(expect_entries layout)
    execute_process(COMMAND ${PYTHON} ${SCRIPT} --symbols ${WORK_DIR}/symbols
                            --keysyms ${KEYSYMS} --out ${WORK_DIR}/${layout}.cpp ${layout}
                    RESULT_VARIABLE status ERROR_VARIABLE errors)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "keyboard-layouts.py failed on ${layout} (${status}): ${errors}")
    endif()
    file(READ ${WORK_DIR}/${layout}.cpp table)
    # By index: a list of lines holding '[' and ']' would not split at ';'.
    math(EXPR last "${ARGC} - 1")
    foreach(index RANGE 1 ${last})
        set(entry "${ARGV${index}}")
        string(FIND "${table}" "${entry}" at)
        if(at LESS 0)
            message(FATAL_ERROR "${layout}.cpp lacks ${entry}:\n${table}")
        endif()
    endforeach()
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR}/symbols)

execute_process(COMMAND ${PYTHON} ${SCRIPT} --symbols ${SYMBOLS} --keysyms ${KEYSYMS}
                        --markdown ${WORK_DIR}/layouts.md
                RESULT_VARIABLE status ERROR_VARIABLE errors)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "keyboard-layouts.py failed (${status}): ${errors}")
endif()
file(READ ${WORK_DIR}/layouts.md generated)
file(READ ${DOC} doc)
set(begin "<!-- begin: tools/keyboard-layouts.py --markdown -->\n")
set(end "<!-- end: tools/keyboard-layouts.py --markdown -->")
string(FIND "${doc}" "${begin}" begin_at)
string(FIND "${doc}" "${end}" end_at)
if(begin_at LESS 0 OR end_at LESS begin_at)
    message(FATAL_ERROR "${DOC}: the markers of the generated table are missing")
endif()
string(LENGTH "${begin}" begin_length)
math(EXPR table_at "${begin_at} + ${begin_length}")
math(EXPR table_length "${end_at} - ${table_at}")
string(SUBSTRING "${doc}" ${table_at} ${table_length} committed)
if(NOT committed STREQUAL generated)
    message(FATAL_ERROR "${DOC} is stale: replace its table with the output of "
                        "tools/keyboard-layouts.py --markdown FILE.\n"
                        "In the file:\n${committed}\nGenerated now:\n${generated}")
endif()

file(WRITE ${WORK_DIR}/symbols/pc [[
default xkb_symbols "pc105" {
    key <SPCE> { [ space ] };
    key <LSGT> { [ less, greater, bar, brokenbar ] };
};
]])
file(WRITE ${WORK_DIR}/symbols/base [[
default xkb_symbols "basic" {
    key <AC02> { [ s, S ] };
    key <AC03> { [ d, D ] };
};
]])
file(WRITE ${WORK_DIR}/symbols/yy [[
xkb_symbols "other" {
    key <AC01> { [ b, B ] };
};
default xkb_symbols "basic" {
    include "base"
    key <AC01> { [ a, A ] };
    key <AD01> { [ q, Q, at ] };
    key <AC02> { [ NoSymbol, dollar ] };
    replace key <AC03> { [ d ] };
};
]])
file(WRITE ${WORK_DIR}/symbols/xx [[
default xkb_symbols "basic" {
    include "missing(basic)"
    key <AC01> { [ a, A ] };
};
]])
expect_entries(yy "{{0x00, 0x00}, {0x00, 0x04}},  /* 0x61 a */"
                  "{{0x00, 0x00}, {0x00, 0x16}},  /* 0x73 s */"
                  "{{0x00, 0x00}, {0x02, 0x16}},  /* 0x24 $ */"
                  "{{0x00, 0x00}, {0x00, 0x00}},  /* 0x53 S */"
                  "{{0x00, 0x00}, {0x00, 0x07}},  /* 0x64 d */"
                  "{{0x00, 0x00}, {0x00, 0x00}},  /* 0x44 D */"
                  "{{0x00, 0x00}, {0x00, 0x00}},  /* 0x62 b */"
                  "{{0x00, 0x00}, {0x00, 0x00}},  /* 0x40 @ */"
                  "{{0x00, 0x00}, {0x02, 0x64}},  /* 0x3E > */"
                  "{{0x00, 0x00}, {0x00, 0x00}},  /* 0x7C | */")

file(WRITE ${WORK_DIR}/symbols/ww [[
default xkb_symbols "basic" {
    key <TLDE> { [ grave, notsign, braceright ] };
    key <AE01> { [ 1, exclam, bracketleft ] };
    key <AE02> { [ 2, quotedbl, braceleft ] };
    key <AE03> { [ 3, numbersign, asciicircum ] };
    key <AE04> { [ 4, dollar, asciitilde ] };
    key <AE05> { [ 5, percent, bracketright ] };
    key <AE06> { [ 6, ampersand, sterling ] };
    key <AE07> { [ 7, slash ] };
    key <AD01> { [ q, Q, at ] };
};
]])
file(WRITE ${WORK_DIR}/symbols/zz [[
xkb_symbols "common" {
    key <AC02> { [ s, S, bracketleft ] };
};
default xkb_symbols "basic" {
    include "ww"
    include "zz(common)"
    key <AE02> { [ 2, quotedbl ] };
    key <AE06> { [ 6, ampersand, bracketright ] };
    key <AE07> { [ 7, slash, braceright ] };
    key <AC01> { [ a, A, dead_circumflex ] };
    key <AC10> { [ semicolon, colon, at ] };
    key <AC11> { [ apostrophe, grave, braceleft ] };
    key <AB01> { [ z, Z, x, asciitilde ] };
    key <RALT> { [ ISO_Level3_Shift ] };
};
]])
expect_entries(zz "{{0x00, 0x00}, {0x40, 0x33}},  /* 0x40 @ */"
                  "{{0x00, 0x00}, {0x40, 0x16}},  /* 0x5B [ */"
                  "{{0x00, 0x00}, {0x40, 0x23}},  /* 0x5D ] */"
                  "{{0x00, 0x00}, {0x40, 0x34}},  /* 0x7B { */"
                  "{{0x00, 0x00}, {0x40, 0x24}},  /* 0x7D } */"
                  "{{0x00, 0x00}, {0x40, 0x20}},  /* 0x5E ^ */"
                  "{{0x00, 0x00}, {0x40, 0x21}},  /* 0x7E ~ */")

file(WRITE ${WORK_DIR}/kept.cpp "kept\n")
execute_process(COMMAND ${PYTHON} ${SCRIPT} --symbols ${WORK_DIR}/symbols --keysyms ${KEYSYMS}
                        --out ${WORK_DIR}/kept.cpp --markdown ${WORK_DIR}/kept.md yy xx
                RESULT_VARIABLE status ERROR_VARIABLE errors)
file(READ ${WORK_DIR}/kept.cpp kept)
if(NOT status EQUAL 1 OR NOT errors MATCHES "missing" OR NOT kept STREQUAL "kept\n"
   OR EXISTS ${WORK_DIR}/kept.md)
    message(FATAL_ERROR "a missing include gave status ${status}, message '${errors}', "
                        "output '${kept}'")
endif()
