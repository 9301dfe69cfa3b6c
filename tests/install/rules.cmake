# The library as another program meets it: installed into a scratch prefix, then used through
# find_package(kivocomm) and through pkg-config. A sanitizer build's library cannot be linked
# into an uninstrumented program, so those builds leave the test out. The programs are built
# with the compiler and flags of this build: a flag such as -stdlib=libc++ chooses the standard
# library, and a program must link the one the library was built against.
if(KIVO_SANITIZE STREQUAL "")
    add_test(NAME install.consume_installed_library
        COMMAND ${CMAKE_COMMAND}
            -DKIVO_BUILD_DIR=${CMAKE_BINARY_DIR}
            -DKIVO_WORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/install_consumer
            -DKIVO_CONSUMER_DIR=${CMAKE_CURRENT_LIST_DIR}/consumer
            -DKIVO_EXAMPLES_DIR=${PROJECT_SOURCE_DIR}/examples
            -DKIVO_CXX=${CMAKE_CXX_COMPILER}
            "-DKIVO_CXX_FLAGS=${CMAKE_CXX_FLAGS}"
            "-DKIVO_LINK_FLAGS=${CMAKE_EXE_LINKER_FLAGS}"
            "-DKIVO_GENERATOR=${CMAKE_GENERATOR}"
            -P ${CMAKE_CURRENT_LIST_DIR}/consume_installed.cmake)
    set_tests_properties(install.consume_installed_library PROPERTIES
        LABELS "install;slow" TIMEOUT 600)
endif()

# The examples as the README runs them, against the device simulator.
if(TARGET kivo-terminal AND TARGET kivo-request AND TARGET kivo-ports AND TARGET brinomar-devsim)
    add_test(NAME examples.run_against_simulator
        COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/run_examples.sh ${CMAKE_BINARY_DIR}/bin)
    set_tests_properties(examples.run_against_simulator PROPERTIES LABELS "install" TIMEOUT 120)
endif()

# The programs as a user installs them: each one built is installed and tells its version, the
# window with its desktop entry and icon.
set(KIVO_BUILT_PROGRAMS)
foreach(program brinomar-update brinomar-flash brinomar-devsim)
    if(TARGET ${program})
        list(APPEND KIVO_BUILT_PROGRAMS ${program})
    endif()
endforeach()
if(KIVO_BUILT_PROGRAMS)
    add_test(NAME install.installed_programs
        COMMAND ${CMAKE_COMMAND}
            -DKIVO_BUILD_DIR=${CMAKE_BINARY_DIR}
            -DKIVO_WORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/install_programs
            "-DKIVO_PROGRAMS=${KIVO_BUILT_PROGRAMS}"
            -DKIVO_VERSION=${PROJECT_VERSION}
            -DKIVO_BINDIR=${CMAKE_INSTALL_BINDIR}
            -DKIVO_DATADIR=${CMAKE_INSTALL_DATADIR}
            -P ${CMAKE_CURRENT_LIST_DIR}/check_installed_programs.cmake)
    set_tests_properties(install.installed_programs PROPERTIES LABELS "install" TIMEOUT 120)
endif()
