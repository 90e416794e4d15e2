# Installs the build BUILD_DIR twice and checks each result:
#   1. cmake --install --prefix <scratch>   (when every directory is relative)
#   2. DESTDIR=<scratch> cmake --install    (below the configured prefix)
# Each must hold exactly the expected files; the systemd unit must start the
# installed binary and have every placeholder filled in; the man page and the
# sample configuration must be copies of the sources. A simulated-reader
# build also installs its stand-ins, and the installed daemon must find the
# stand-in library through its RUNPATH.

function(fail)
    string(JOIN "" text ${ARGN})
    message(FATAL_ERROR "${text}")
endfunction()

# Directories relative to the prefix, as GNUInstallDirs gives them.
set(expected_relative
    "${SBINDIR}/korvane"
    "${MANDIR}/man8/korvane.8"
    "${DATADIR}/korvane/korvane.config.xml"
    "${UNITDIR}/korvane.service")
if(SIMULATED)
    list(APPEND expected_relative
         "${LIBDIR}/korvane/libReaderLib.so"
         "${LIBEXECDIR}/korvane/rfid-version")
endif()
set(all_relative TRUE)
foreach(dir SBINDIR MANDIR DATADIR UNITDIR LIBDIR LIBEXECDIR)
    if(IS_ABSOLUTE "${${dir}}")
        set(all_relative FALSE)
    endif()
endforeach()

# Where `file` (relative to the prefix, or absolute) lies on disk, for a
# prefix at `base` and a DESTDIR of `root` (empty without one).
function(path_of variable base root file)
    if(IS_ABSOLUTE "${file}")
        set(${variable} "${root}${file}" PARENT_SCOPE)
    else()
        set(${variable} "${base}/${file}" PARENT_SCOPE)
    endif()
endfunction()

# Runs cmake --install with the extra arguments; DESTDIR as given (may be
# empty).
function(install_into destdir)
    set(ENV{DESTDIR} "${destdir}")
    execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} ${ARGN}
                    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
    unset(ENV{DESTDIR})
    if(NOT result EQUAL 0)
        fail("cmake --install ${BUILD_DIR} ${ARGN} (DESTDIR '${destdir}') failed:\n${output}")
    endif()
endfunction()

# Checks the tree below `root` (the scratch directory) for an installation
# whose prefix, as the installed files see it, is `prefix`; `base` is where
# that prefix lies on disk, `destdir` the DESTDIR (empty without one).
function(check_tree root base prefix destdir)
    file(GLOB_RECURSE found LIST_DIRECTORIES false RELATIVE ${root} ${root}/*)
    set(expected "")
    foreach(file IN LISTS expected_relative)
        path_of(path ${base} "${destdir}" ${file})
        file(RELATIVE_PATH relative ${root} ${path})
        list(APPEND expected ${relative})
    endforeach()
    list(SORT found)
    list(SORT expected)
    if(NOT found STREQUAL expected)
        string(REPLACE ";" "\n  " found_text "${found}")
        string(REPLACE ";" "\n  " expected_text "${expected}")
        fail("installed files below ${root}:\n  ${found_text}\nexpected:\n  ${expected_text}")
    endif()

    path_of(binary ${base} "${destdir}" ${SBINDIR}/korvane)
    execute_process(COMMAND test -x ${binary} RESULT_VARIABLE not_executable)
    if(NOT not_executable EQUAL 0)
        fail("${binary} is not executable")
    endif()
    foreach(pair "docs/korvane.8;${MANDIR}/man8/korvane.8"
                 "etc/korvane.config.xml;${DATADIR}/korvane/korvane.config.xml")
        list(GET pair 0 source)
        list(GET pair 1 installed)
        path_of(installed ${base} "${destdir}" ${installed})
        execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${SOURCE_DIR}/${source}
                                ${installed}
                        RESULT_VARIABLE differs)
        if(NOT differs EQUAL 0)
            fail("${installed} differs from ${source}")
        endif()
    endforeach()

    # The unit: the installed binary's final path, every placeholder filled.
    path_of(unit ${base} "${destdir}" ${UNITDIR}/korvane.service)
    file(READ ${unit} unit_text)
    if(unit_text MATCHES "@[A-Za-z_]+@")
        fail("${unit} keeps the placeholder ${CMAKE_MATCH_0}")
    endif()
    path_of(final_binary ${prefix} "" ${SBINDIR}/korvane)
    file(STRINGS ${unit} exec_start REGEX "^ExecStart=")
    if(NOT exec_start STREQUAL "ExecStart=${final_binary}")
        fail("${unit}: '${exec_start}', expected 'ExecStart=${final_binary}'")
    endif()
    get_filename_component(config_dir "${CONFIG_FILE}" DIRECTORY)
    file(STRINGS ${unit} mounts REGEX "^RequiresMountsFor=")
    if(NOT mounts STREQUAL "RequiresMountsFor=${config_dir}")
        fail("${unit}: '${mounts}', expected 'RequiresMountsFor=${config_dir}'")
    endif()
    foreach(line "Type=simple" "Restart=on-failure" "WantedBy=multi-user.target")
        file(STRINGS ${unit} present REGEX "^${line}$")
        if(NOT present)
            fail("${unit} lacks the line ${line}")
        endif()
    endforeach()
endfunction()

# The installed daemon of a simulated-reader build loads the installed
# stand-in library, and the installed version tool runs. Only for relative
# directories, which keep their relation below a DESTDIR.
function(check_runs base)
    if(NOT SIMULATED OR NOT RUN_INSTALLED)
        return()
    endif()
    set(binary "${base}/${SBINDIR}/korvane")
    execute_process(COMMAND ldd ${binary} RESULT_VARIABLE result OUTPUT_VARIABLE libraries
                    ERROR_VARIABLE libraries)
    get_filename_component(library "${base}/${LIBDIR}/korvane/libReaderLib.so" REALPATH)
    set(loaded "")
    if(result EQUAL 0 AND libraries MATCHES "libReaderLib\\.so => ([^ \t\n]+)")
        get_filename_component(loaded "${CMAKE_MATCH_1}" REALPATH)
    endif()
    if(NOT loaded STREQUAL library)
        fail("${binary} does not load ${library}:\n${libraries}")
    endif()
    execute_process(COMMAND ${base}/${LIBEXECDIR}/korvane/rfid-version -u
                    RESULT_VARIABLE result OUTPUT_VARIABLE identifier)
    if(NOT result EQUAL 0 OR identifier STREQUAL "")
        fail("${base}/${LIBEXECDIR}/korvane/rfid-version -u: status ${result}, no identifier")
    endif()
endfunction()

# Checks the unit with systemd-analyze where it runs offline. Its output on
# this unit is compared, not just its status, since it also reports problems
# of unrelated units on the machine.
function(check_unit base)
    if(NOT SYSTEMD_ANALYZE OR NOT EXISTS "${SYSTEMD_ANALYZE}" OR NOT RUN_INSTALLED)
        return()
    endif()
    # Only with the binary where ExecStart names it: the --prefix install.
    set(unit "${base}/${UNITDIR}/korvane.service")
    execute_process(COMMAND ${SYSTEMD_ANALYZE} verify --man=no ${unit}
                    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
    string(FIND "${output}" "korvane.service" mentioned)
    if(NOT mentioned EQUAL -1)
        fail("systemd-analyze verify ${unit} (status ${result}):\n${output}")
    endif()
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})

if(all_relative)
    set(root ${WORK_DIR}/prefix)
    install_into("" --prefix ${root})
    check_tree(${root} ${root} ${root} "")
    check_runs(${root})
    check_unit(${root})
endif()

set(root ${WORK_DIR}/destdir)
install_into(${root})
check_tree(${root} ${root}${CONFIGURED_PREFIX} ${CONFIGURED_PREFIX} ${root})
if(all_relative)
    check_runs(${root}${CONFIGURED_PREFIX})
endif()

file(REMOVE_RECURSE ${WORK_DIR})
