# KelFlash's resource bundle: res.qrc from this folder plus the Droid Sans Fallback
# font, which comes from the distribution's package and is copied into the build
# tree. Compiled once as an object library so that the program and the tests that
# need the resources share it. The font stays uncompressed: the font database then
# reads it in place instead of unpacking a copy.
if(TARGET kelflash_res)
    return()
endif()

find_file(KELFLASH_DROID_FONT DroidSansFallback.ttf
    PATHS /usr/share/fonts-droid-fallback/truetype /usr/share/fonts/truetype/droid
    NO_DEFAULT_PATH)
if(NOT KELFLASH_DROID_FONT)
    message(FATAL_ERROR "Droid Sans Fallback (DroidSansFallback.ttf) not found: "
        "install the Debian package fonts-droid-fallback (scripts/setup does)")
endif()
set(KELFLASH_FONT_DIR ${PROJECT_BINARY_DIR}/res-font)
configure_file(${KELFLASH_DROID_FONT} ${KELFLASH_FONT_DIR}/font/DroidSansFallback.ttf COPYONLY)
file(WRITE ${KELFLASH_FONT_DIR}/res_font.qrc.in
    "<RCC>\n    <qresource prefix=\"/res\">\n        <file compression-algorithm=\"none\">font/DroidSansFallback.ttf</file>\n    </qresource>\n</RCC>\n")
configure_file(${KELFLASH_FONT_DIR}/res_font.qrc.in ${KELFLASH_FONT_DIR}/res_font.qrc COPYONLY)

add_library(kelflash_res OBJECT ${CMAKE_CURRENT_LIST_DIR}/res.qrc ${KELFLASH_FONT_DIR}/res_font.qrc)
target_link_libraries(kelflash_res PRIVATE Qt5::Core)
