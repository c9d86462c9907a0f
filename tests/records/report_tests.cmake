# The yield report: its figures against a hand count on SQLite and on a private
# PostgreSQL server, the command run end to end, the HTML page in Chromium.
if(TARGET kelrecords)
    set(KELREPORT_TEST_LIB kelrecords)
else()
    set(KELREPORT_TEST_LIB kelreport)
endif()
kel_add_test(report_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/report_test.cpp
             ${KEL_TEST_COMMON}/core_main.cpp
             LIBS ${KELREPORT_TEST_LIB} Qt5::Sql DEPENDS kelflash-cli TIMEOUT 300)
