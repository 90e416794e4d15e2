# What `cmake --install` puts where (GNUInstallDirs layout):
#
#   sbin/korvane                                 the daemon
#   share/man/man8/korvane.8                     its manual page
#   share/korvane/korvane.config.xml             a sample configuration
#   lib/systemd/system/korvane.service           the systemd unit
#
# The sample goes to the data directory rather than to the documentation:
# it is the file an installation copies to the configuration path, and a
# documentation directory may be left out of a reader's image. The live file
# (KORVANE_CONFIG_FILE) is never installed, so an install cannot overwrite
# the configuration a reader runs with.
#
# A build on the simulated reader also installs its stand-ins, in private
# directories where nothing else looks for them: the simulated
# libReaderLib.so in lib/korvane (the installed daemon finds it through its
# RUNPATH) and the version tool rfid-version in libexec/korvane. A build that
# links the platform's own library installs neither.
include(GNUInstallDirs)

set(KORVANE_INSTALL_SYSTEMDUNITDIR "lib/systemd/system" CACHE STRING
    "Directory of the systemd unit, relative to the installation prefix or absolute")

install(TARGETS korvane RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(FILES ${CMAKE_SOURCE_DIR}/docs/korvane.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${CMAKE_SOURCE_DIR}/etc/korvane.config.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/korvane)

# The unit names the installed binary, so it is made when installing: the
# prefix may be given only then (cmake --install --prefix). With DESTDIR the
# unit names the path below the prefix, where the binary will finally live.
get_filename_component(KORVANE_CONFIG_DIR "${KORVANE_CONFIG_FILE}" DIRECTORY)
set(korvane_unit_template ${CMAKE_SOURCE_DIR}/etc/korvane.service.in)
set(korvane_unit ${CMAKE_BINARY_DIR}/korvane.service)
install(CODE "
    set(KORVANE_SBINDIR \"${CMAKE_INSTALL_SBINDIR}\")
    if(NOT IS_ABSOLUTE \"\${KORVANE_SBINDIR}\")
        set(KORVANE_SBINDIR \"\${CMAKE_INSTALL_PREFIX}/\${KORVANE_SBINDIR}\")
    endif()
    set(KORVANE_CONFIG_DIR \"${KORVANE_CONFIG_DIR}\")
    configure_file(\"${korvane_unit_template}\" \"${korvane_unit}\" @ONLY)
")
install(FILES ${korvane_unit} DESTINATION ${KORVANE_INSTALL_SYSTEMDUNITDIR})

if(KORVANE_SIMULATED_READER)
    install(TARGETS ReaderLib LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/korvane)
    install(TARGETS rfid-version RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/korvane)
    file(RELATIVE_PATH korvane_lib_from_sbin ${CMAKE_INSTALL_FULL_SBINDIR}
         ${CMAKE_INSTALL_FULL_LIBDIR}/korvane)
    set_target_properties(korvane PROPERTIES INSTALL_RPATH "\$ORIGIN/${korvane_lib_from_sbin}")
endif()
