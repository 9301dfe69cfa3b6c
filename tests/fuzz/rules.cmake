# libFuzzer targets: built only with clang and KIVO_BUILD_FUZZ, run through scripts/fuzz.sh. The
# code under test is compiled into the target itself so that the fuzzer sees its coverage; the
# rest of the library comes uninstrumented from kivocomm.
if(KIVO_BUILD_FUZZ AND CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    set(KIVO_FUZZ_FLAGS -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined)

    # kivo_fuzz_target(name source... ): the program fuzz_<name>, and a test that replays the
    # seeds of tests/fuzz/corpus/<name>, so that every seed keeps passing in the fuzz build.
    function(kivo_fuzz_target name)
        add_executable(fuzz_${name} ${ARGN})
        target_include_directories(fuzz_${name} PRIVATE ${PROJECT_SOURCE_DIR})
        target_compile_options(fuzz_${name} PRIVATE ${KIVO_FUZZ_FLAGS} -fno-omit-frame-pointer)
        target_link_options(fuzz_${name} PRIVATE ${KIVO_FUZZ_FLAGS})
        target_link_libraries(fuzz_${name} PRIVATE kivocomm)
        add_test(NAME fuzz_${name}_seeds
            COMMAND fuzz_${name} -runs=0 ${CMAKE_CURRENT_LIST_DIR}/corpus/${name})
    endfunction()

    kivo_fuzz_target(loadfile
        ${CMAKE_CURRENT_LIST_DIR}/loadfile_fuzz.cpp
        ${PROJECT_SOURCE_DIR}/app/hexfiletorom.cpp)
    kivo_fuzz_target(dispatchlog
        ${CMAKE_CURRENT_LIST_DIR}/dispatchlog_fuzz.cpp
        ${PROJECT_SOURCE_DIR}/comm/dispatch/kwuser_log.cpp
        ${PROJECT_SOURCE_DIR}/comm/dispatch/kwuser_trace.cpp)
    kivo_fuzz_target(trace
        ${CMAKE_CURRENT_LIST_DIR}/trace_fuzz.cpp
        ${PROJECT_SOURCE_DIR}/comm/dispatch/kwuser_trace.cpp)
    kivo_fuzz_target(str0
        ${CMAKE_CURRENT_LIST_DIR}/str0_fuzz.cpp
        ${PROJECT_SOURCE_DIR}/comm/errors/kvsrmgr.cpp)
    kivo_fuzz_target(triggers
        ${CMAKE_CURRENT_LIST_DIR}/triggers_fuzz.cpp
        ${PROJECT_SOURCE_DIR}/tests/fakes/fake_device.cpp
        ${PROJECT_SOURCE_DIR}/comm/dispatch/kwuser_triggers.cpp
        ${PROJECT_SOURCE_DIR}/comm/dispatch/kwuser_data.cpp)
endif()
