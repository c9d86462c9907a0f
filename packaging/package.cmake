# What `cmake --install` puts where, and the Debian package CPack builds from it
# (scripts/package). The programs find KelUI in their private library folder
# through their run path, so nothing needs LD_LIBRARY_PATH.
include(GNUInstallDirs)

# Run paths. KelUI is built into the same relative folder it is installed to, and
# the two programs that need it sit one folder below the build tree's top as they
# sit in bin/, so one run path, $ORIGIN/../lib/kelflash, serves both trees. Every
# other program carries none: CMake pads a build run path shorter than the install
# one with empty entries, and the loader reads an empty entry as the current
# directory.
set_target_properties(KelUI PROPERTIES
    LIBRARY_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/${KELFLASH_PRIVATE_LIBDIR})
foreach(program KelFlash HostProbe)
    if(TARGET ${program})
        set_target_properties(${program} PROPERTIES
            INSTALL_RPATH "$ORIGIN/../${KELFLASH_PRIVATE_LIBDIR}"
            BUILD_WITH_INSTALL_RPATH ON)
    endif()
endforeach()

set(_pkg ${PROJECT_SOURCE_DIR}/packaging)

# Two packages: the command-line burner and the simulator for stations without
# a display (component "cli"), and the window with its checker and widget
# library above it (component "gui"). The udev rule for boards goes with the
# command line, which every station has.
foreach(program kelflash-cli kelsim)
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT cli)
endforeach()
install(FILES ${_pkg}/udev/70-kelflash.rules DESTINATION lib/udev/rules.d COMPONENT cli)
# The burning station as a service: the unit template, the program that turns
# a station's options file into arguments, an example of that file, and the
# udev rule that gives the service's group the boards (its user is made by
# the postinst script).
install(FILES ${_pkg}/udev/71-kelflash-station.rules DESTINATION lib/udev/rules.d COMPONENT cli)
install(FILES ${_pkg}/systemd/kelflash-station@.service DESTINATION lib/systemd/system
        COMPONENT cli)
install(PROGRAMS ${_pkg}/systemd/kelflash-station DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/kelflash
        COMPONENT cli)
install(FILES ${_pkg}/systemd/station.conf DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/kelflash-cli/examples
        COMPONENT cli)
install(FILES ${_pkg}/bash-completion/kelflash-cli
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions COMPONENT cli)
include(${_pkg}/manpages.cmake)
install(FILES ${KELFLASH_MANPAGES_CLI} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT cli)
install(FILES ${KELFLASH_MANPAGES_GUI} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT gui)

foreach(program KelFlash HostProbe)
    if(TARGET ${program})
        install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT gui)
    endif()
endforeach()
install(TARGETS KelUI LIBRARY DESTINATION ${KELFLASH_PRIVATE_LIBDIR} NAMELINK_SKIP
        COMPONENT gui)
install(FILES ${_pkg}/kelflash.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications
        COMPONENT gui)
install(FILES ${_pkg}/kelflash.png DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/32x32/apps
        COMPONENT gui)
file(GLOB _policies ${_pkg}/polkit/*.policy)
if(_policies)
    install(FILES ${_policies} DESTINATION ${CMAKE_INSTALL_DATADIR}/polkit-1/actions
            COMPONENT gui)
endif()

# Debian's documentation files in each package: the copyright and a changelog
# compressed the way dpkg expects (no name or time stamp inside, so the
# package is the same on every build).
execute_process(COMMAND gzip -9nc ${_pkg}/debian/changelog
                OUTPUT_FILE ${CMAKE_BINARY_DIR}/changelog.gz)
foreach(component cli gui)
    set(_doc ${CMAKE_INSTALL_DATADIR}/doc/kelflash)
    if(component STREQUAL cli)
        set(_doc ${CMAKE_INSTALL_DATADIR}/doc/kelflash-cli)
    endif()
    install(FILES ${_pkg}/debian/copyright ${CMAKE_BINARY_DIR}/changelog.gz DESTINATION ${_doc}
            COMPONENT ${component})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kelflash)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "KelFlash developers <kelflash@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware burner for Kelvora boards")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL cli gui)
set(CPACK_DEBIAN_PACKAGE_SOURCE kelflash)
set(CPACK_DEBIAN_CLI_PACKAGE_NAME kelflash-cli)
set(CPACK_DEBIAN_GUI_PACKAGE_NAME kelflash)
# The synopsis is the summary above; these are the packages' long descriptions.
set(CPACK_COMPONENT_CLI_DESCRIPTION
    "kelflash-cli burns firmware images onto boards built around Kelvora
system-on-chips over USB or serial ports, inspects and packs images, and
writes and formats SD cards, on stations without a display. kelsim, the
board simulator, stands in for boards in tests and demonstrations.")
set(CPACK_COMPONENT_GUI_DESCRIPTION
    "KelFlash burns firmware images onto boards built around Kelvora
system-on-chips over USB, serial ports or adb, writes bring-up SD cards
and formats cards back to FAT32, in a window. HostProbe, started from it,
lists what on this PC is known to make burning fail.")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://kelflash.example.org/")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Dependencies from the shared libraries the programs really link, plus the
# programs they run: mkfs.fat for the card format, pkexec for the checker.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_CLI_PACKAGE_DEPENDS "dosfstools, adduser")
set(CPACK_DEBIAN_CLI_PACKAGE_CONTROL_EXTRA ${_pkg}/debian/cli/postinst)
set(CPACK_DEBIAN_GUI_PACKAGE_DEPENDS "kelflash-cli (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_GUI_PACKAGE_RECOMMENDS "adb, pkexec")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
