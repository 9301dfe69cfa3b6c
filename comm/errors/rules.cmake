# The message tables: kivo_tablegen turns the readable sources in strings/ into STR0 blobs and
# writes them as a C++ file that becomes part of the library.
add_executable(kivo_tablegen
    ${CMAKE_CURRENT_LIST_DIR}/tablegen/tablegen.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tablegen/str0_source.cpp)
target_include_directories(kivo_tablegen PRIVATE ${PROJECT_SOURCE_DIR})
set_target_properties(kivo_tablegen PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tools)

set(KIVO_ZOR_STRING_SOURCES ${CMAKE_CURRENT_LIST_DIR}/strings/kvsrmgr.txt)
file(GLOB KIVO_ERROR_STRING_SOURCES CONFIGURE_DEPENDS
    ${CMAKE_CURRENT_LIST_DIR}/strings/english/*.txt)
set(KIVO_STRING_TABLES_CPP ${CMAKE_CURRENT_BINARY_DIR}/errors/string_tables.cpp)

add_custom_command(
    OUTPUT ${KIVO_STRING_TABLES_CPP}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/errors
    COMMAND kivo_tablegen ${KIVO_STRING_TABLES_CPP}
        --table KVSRMGR_STRINGS ${KIVO_ZOR_STRING_SOURCES}
        --table KIVO_ERROR_STRINGS_ENGLISH ${KIVO_ERROR_STRING_SOURCES}
    DEPENDS kivo_tablegen ${KIVO_ZOR_STRING_SOURCES} ${KIVO_ERROR_STRING_SOURCES}
    COMMENT "Generating the STR0 message tables"
    VERBATIM)
target_sources(kivocomm PRIVATE ${KIVO_STRING_TABLES_CPP})
