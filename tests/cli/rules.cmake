# The command-line tests read the option parser directly and run the program itself, against
# the device simulator.
if(TARGET test_cli AND TARGET brinomar-flash)
    target_sources(test_cli PRIVATE ${PROJECT_SOURCE_DIR}/cli/flashoptions.cpp
        ${PROJECT_SOURCE_DIR}/cli/progressbar.cpp)
    add_dependencies(test_cli brinomar-flash brinomar-devsim)

    # Runs where every wait runs out take a minute or more: a program of their own, labelled.
    file(GLOB CLI_SLOW_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/slow/*.cpp)
    add_executable(test_cli_slow ${CLI_SLOW_SOURCES}
        ${CMAKE_CURRENT_LIST_DIR}/child_process.cpp ${CMAKE_CURRENT_LIST_DIR}/update_harness.cpp)
    target_link_libraries(test_cli_slow PRIVATE brinomar_app kivo_fakes GTest::gtest_main)
    target_compile_definitions(test_cli_slow PRIVATE
        KIVO_SOURCE_DIR="${PROJECT_SOURCE_DIR}" KIVO_BIN_DIR="${CMAKE_BINARY_DIR}/bin")
    add_dependencies(test_cli_slow brinomar-flash brinomar-devsim)
    gtest_discover_tests(test_cli_slow DISCOVERY_TIMEOUT 60 TEST_LIST test_cli_slow_TESTS)
    # Discovery flattens a list of labels, so both are given once the tests are known.
    set(labels_file ${CMAKE_CURRENT_BINARY_DIR}/test_cli_slow_labels.cmake)
    file(WRITE ${labels_file} "if(test_cli_slow_TESTS)\n"
        "  set_tests_properties(\${test_cli_slow_TESTS} PROPERTIES LABELS \"cli;slow\")\n"
        "endif()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${labels_file})
endif()
