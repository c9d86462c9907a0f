# The yield report's sources (kelflash-cli report): its queries, the database
# opener for --db and the JSON, HTML and CSV writers. Qt Core and Qt Sql only.
set(KELREPORT_SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/reportdata.h
    ${CMAKE_CURRENT_LIST_DIR}/reportdb.h
    ${CMAKE_CURRENT_LIST_DIR}/reportdb.cpp
    ${CMAKE_CURRENT_LIST_DIR}/reportquery.h
    ${CMAKE_CURRENT_LIST_DIR}/reportquery.cpp
    ${CMAKE_CURRENT_LIST_DIR}/reportcsv.h
    ${CMAKE_CURRENT_LIST_DIR}/reportcsv.cpp
    ${CMAKE_CURRENT_LIST_DIR}/reportrender.h
    ${CMAKE_CURRENT_LIST_DIR}/reportjson.cpp
    ${CMAKE_CURRENT_LIST_DIR}/reporthtml.cpp)
