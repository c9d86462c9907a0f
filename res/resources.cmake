# KelFlash's resource bundle: res.qrc from this folder plus the Droid Sans Fallback
# font from the distribution's package. Compiled once as an object library so that
# the program and the tests that need the resources share it.
if(TARGET kelflash_res)
    return()
endif()

kel_embed_font(KELFLASH_FONT_QRC FILE DroidSansFallback.ttf PREFIX /res PACKAGE fonts-droid-fallback
    PATHS /usr/share/fonts-droid-fallback/truetype /usr/share/fonts/truetype/droid)

add_library(kelflash_res OBJECT ${CMAKE_CURRENT_LIST_DIR}/res.qrc ${KELFLASH_FONT_QRC})
target_link_libraries(kelflash_res PRIVATE Qt5::Core)
