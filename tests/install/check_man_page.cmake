# Formats the manual page PAGE with man (MAN) and groff (GROFF), all warnings
# on; any diagnostic fails. Both tools come with scripts/setup.sh.
foreach(tool MAN GROFF)
    if(NOT ${tool} OR NOT EXISTS "${${tool}}")
        message(FATAL_ERROR "${tool} not found: install man-db and groff-base (scripts/setup.sh)")
    endif()
endforeach()

# A fixed width and locale, so the line breaking is the same everywhere.
set(ENV{MANWIDTH} 80)
set(ENV{LC_ALL} C.UTF-8)

execute_process(COMMAND ${MAN} --warnings -l ${PAGE}
                RESULT_VARIABLE result OUTPUT_VARIABLE text ERROR_VARIABLE diagnostics)
if(NOT result EQUAL 0 OR NOT diagnostics STREQUAL "")
    message(FATAL_ERROR "man --warnings -l ${PAGE} (status ${result}):\n${diagnostics}")
endif()
if(NOT text MATCHES "TEMPLATE LANGUAGE")
    message(FATAL_ERROR "man -l ${PAGE} rendered no page:\n${text}")
endif()

execute_process(COMMAND ${GROFF} -man -ww -z ${PAGE}
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE diagnostics)
if(NOT result EQUAL 0 OR NOT diagnostics STREQUAL "" OR NOT output STREQUAL "")
    message(FATAL_ERROR "groff -man -ww -z ${PAGE} (status ${result}):\n${output}${diagnostics}")
endif()
