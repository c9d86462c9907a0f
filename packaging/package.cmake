# What `cmake --install` puts where, and the Debian package CPack builds from it
# (scripts/package). The programs find KelUI in their private library folder
# through their run path, so nothing needs LD_LIBRARY_PATH.
include(GNUInstallDirs)

set(_pkg ${PROJECT_SOURCE_DIR}/packaging)
foreach(program KelFlash HostProbe kelflash-cli kelsim)
    if(TARGET ${program})
        install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    endif()
endforeach()
install(TARGETS KelUI LIBRARY DESTINATION ${KELFLASH_PRIVATE_LIBDIR} NAMELINK_SKIP)

install(FILES ${_pkg}/udev/70-kelflash.rules DESTINATION lib/udev/rules.d)
install(FILES ${_pkg}/kelflash.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${_pkg}/kelflash.png DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/32x32/apps)
file(GLOB _policies ${_pkg}/polkit/*.policy)
if(_policies)
    install(FILES ${_policies} DESTINATION ${CMAKE_INSTALL_DATADIR}/polkit-1/actions)
endif()

# Debian's documentation files: the copyright and a changelog compressed the
# way dpkg expects (no name or time stamp inside, so the package is the same
# on every build).
set(_doc ${CMAKE_INSTALL_DATADIR}/doc/kelflash)
install(FILES ${_pkg}/debian/copyright DESTINATION ${_doc})
execute_process(COMMAND gzip -9nc ${_pkg}/debian/changelog
                OUTPUT_FILE ${CMAKE_BINARY_DIR}/changelog.gz)
install(FILES ${CMAKE_BINARY_DIR}/changelog.gz DESTINATION ${_doc})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kelflash)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "KelFlash developers <kelflash@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware burner for Kelvora boards")
set(CPACK_PACKAGE_DESCRIPTION
    "KelFlash burns firmware images onto boards built around Kelvora
system-on-chips over USB, serial ports or adb, writes bring-up SD cards
and formats cards back to FAT32. The package holds the window
(KelFlash), the command-line burner (kelflash-cli), the board
simulator (kelsim) and the PC environment checker (HostProbe).")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://kelflash.example.org/")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Dependencies from the shared libraries the programs really link, plus the
# programs they run: mkfs.fat for the card format, pkexec for the checker.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "dosfstools")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "adb, pkexec")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
