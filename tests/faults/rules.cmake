# The fault matrix: brinomar-flash against a simulated device that misbehaves, a port that is
# gone, held or forbidden, files that cannot be written, and the user interrupting. Every case
# waits out at least one time-out, so the suite is labelled slow; scripts/soak.sh runs it again
# in an AddressSanitizer build, where a leak in any run fails its case.
if(TARGET brinomar_app AND TARGET brinomar-flash)
    add_executable(test_faults ${CMAKE_CURRENT_LIST_DIR}/fault_matrix_test.cpp
        ${CMAKE_CURRENT_LIST_DIR}/../cli/child_process.cpp
        ${CMAKE_CURRENT_LIST_DIR}/../cli/update_harness.cpp)
    target_link_libraries(test_faults PRIVATE brinomar_app kivo_fakes GTest::gtest_main)
    target_compile_definitions(test_faults PRIVATE
        KIVO_SOURCE_DIR="${PROJECT_SOURCE_DIR}" KIVO_BIN_DIR="${CMAKE_BINARY_DIR}/bin")
    add_dependencies(test_faults brinomar-flash brinomar-devsim)
    gtest_discover_tests(test_faults DISCOVERY_TIMEOUT 60 TEST_LIST test_faults_TESTS)
    set(labels_file ${CMAKE_CURRENT_BINARY_DIR}/test_faults_labels.cmake)
    file(WRITE ${labels_file} "if(test_faults_TESTS)\n"
        "  set_tests_properties(\${test_faults_TESTS} PROPERTIES LABELS \"faults;slow\")\n"
        "endif()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${labels_file})
endif()
