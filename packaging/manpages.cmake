# The manual pages, made at build time from packaging/man/*.1.in: the command
# line's and the simulator's take their options from the programs' --help
# (manpage.cmake), so the two never differ. Sets KELFLASH_MANPAGES_CLI and
# KELFLASH_MANPAGES_GUI to the compressed pages of each package.
set(_man_src ${PROJECT_SOURCE_DIR}/packaging/man)
set(_man_out ${PROJECT_BINARY_DIR}/man)
file(MAKE_DIRECTORY ${_man_out})
set(KELFLASH_MANPAGES_CLI)
set(KELFLASH_MANPAGES_GUI)
foreach(page kelflash-cli kelsim KelFlash HostProbe)
    set(_program)
    set(_depends ${_man_src}/${page}.1.in ${_man_src}/manpage.cmake)
    if(page STREQUAL kelflash-cli OR page STREQUAL kelsim)
        set(_program -DPROGRAM=$<TARGET_FILE:${page}>)
        list(APPEND _depends ${page})
        list(APPEND KELFLASH_MANPAGES_CLI ${_man_out}/${page}.1.gz)
    else()
        list(APPEND KELFLASH_MANPAGES_GUI ${_man_out}/${page}.1.gz)
    endif()
    add_custom_command(
        OUTPUT ${_man_out}/${page}.1.gz
        COMMAND ${CMAKE_COMMAND} -DTEMPLATE=${_man_src}/${page}.1.in
                -DOUTPUT=${_man_out}/${page}.1.gz ${_program} -DVERSION=${PROJECT_VERSION}
                -P ${_man_src}/manpage.cmake
        DEPENDS ${_depends}
        COMMENT "Manual page ${page}(1)"
        VERBATIM)
endforeach()
add_custom_target(manpages ALL DEPENDS ${KELFLASH_MANPAGES_CLI} ${KELFLASH_MANPAGES_GUI})
