# The table generator's parser and encoder are tested directly, and build the test blobs.
if(TARGET test_errors)
    target_sources(test_errors PRIVATE
        ${PROJECT_SOURCE_DIR}/comm/errors/tablegen/str0_source.cpp)
endif()
