# libFuzzer targets: built only with clang and KIVO_BUILD_FUZZ, run through scripts/fuzz.sh. The
# code under test is compiled into the target itself so that the fuzzer sees its coverage.
if(KIVO_BUILD_FUZZ AND CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    set(KIVO_FUZZ_FLAGS -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined)
    add_executable(fuzz_loadfile
        ${CMAKE_CURRENT_LIST_DIR}/loadfile_fuzz.cpp
        ${PROJECT_SOURCE_DIR}/app/hexfiletorom.cpp)
    target_include_directories(fuzz_loadfile PRIVATE ${PROJECT_SOURCE_DIR})
    target_compile_options(fuzz_loadfile PRIVATE ${KIVO_FUZZ_FLAGS} -fno-omit-frame-pointer)
    target_link_options(fuzz_loadfile PRIVATE ${KIVO_FUZZ_FLAGS})
    target_link_libraries(fuzz_loadfile PRIVATE kivocomm)
    # Every seed must still load cleanly: a quick regression run in the fuzz build.
    add_test(NAME fuzz_loadfile_seeds
        COMMAND fuzz_loadfile -runs=0 ${CMAKE_CURRENT_LIST_DIR}/corpus/loadfile)

    add_executable(fuzz_dispatchlog
        ${CMAKE_CURRENT_LIST_DIR}/dispatchlog_fuzz.cpp
        ${PROJECT_SOURCE_DIR}/comm/dispatch/kwuser_log.cpp
        ${PROJECT_SOURCE_DIR}/comm/dispatch/kwuser_trace.cpp)
    target_include_directories(fuzz_dispatchlog PRIVATE ${PROJECT_SOURCE_DIR})
    target_compile_options(fuzz_dispatchlog PRIVATE ${KIVO_FUZZ_FLAGS} -fno-omit-frame-pointer)
    target_link_options(fuzz_dispatchlog PRIVATE ${KIVO_FUZZ_FLAGS})
    target_link_libraries(fuzz_dispatchlog PRIVATE kivocomm)
    add_test(NAME fuzz_dispatchlog_seeds
        COMMAND fuzz_dispatchlog -runs=0 ${CMAKE_CURRENT_LIST_DIR}/corpus/dispatchlog)
endif()
