# Installs kivocomm from a build tree into a scratch prefix, then builds the consumer program
# against the installation twice, through the CMake package and through pkg-config, and runs
# both builds; finally builds the examples on their own against it. Any failing step fails the
# script with its output.
cmake_minimum_required(VERSION 3.25)

function(run_step)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE output
        ERROR_VARIABLE output)
    if(NOT result EQUAL 0)
        string(REPLACE ";" " " command "${ARGN}")
        message(FATAL_ERROR "${command}\nfailed (${result}):\n${output}")
    endif()
endfunction()

set(prefix ${KIVO_WORK_DIR}/prefix)
set(warnings -Wall -Wextra -Werror)
string(JOIN " " warning_flags ${warnings})
# The build's own flags come first: they may choose the standard library the library was built
# against (-stdlib=libc++), which every program that links it must use as well.
string(STRIP "${KIVO_CXX_FLAGS} ${warning_flags}" cxx_flags)
separate_arguments(build_cxx_flags UNIX_COMMAND "${KIVO_CXX_FLAGS}")
separate_arguments(build_link_flags UNIX_COMMAND "${KIVO_LINK_FLAGS}")
file(REMOVE_RECURSE ${KIVO_WORK_DIR})
run_step(${CMAKE_COMMAND} --install ${KIVO_BUILD_DIR} --prefix ${prefix})

run_step(${CMAKE_COMMAND} -S ${KIVO_CONSUMER_DIR} -B ${KIVO_WORK_DIR}/package
    -G ${KIVO_GENERATOR} -DCMAKE_CXX_COMPILER=${KIVO_CXX} -DCMAKE_PREFIX_PATH=${prefix}
    "-DCMAKE_CXX_FLAGS=${KIVO_CXX_FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${KIVO_LINK_FLAGS}")
run_step(${CMAKE_COMMAND} --build ${KIVO_WORK_DIR}/package)
run_step(${KIVO_WORK_DIR}/package/consumer)

file(GLOB_RECURSE pc_file ${prefix}/kivocomm.pc)
get_filename_component(pc_dir "${pc_file}" DIRECTORY)
set(ENV{PKG_CONFIG_PATH} ${pc_dir})
execute_process(COMMAND pkg-config --cflags --libs kivocomm RESULT_VARIABLE result
    OUTPUT_VARIABLE pc_flags ERROR_VARIABLE pc_error OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "pkg-config does not find kivocomm in ${pc_dir}: ${pc_error}")
endif()
separate_arguments(pc_flags UNIX_COMMAND "${pc_flags}")
run_step(${KIVO_CXX} -std=c++20 ${build_cxx_flags} ${warnings} ${KIVO_CONSUMER_DIR}/consumer.cpp
    ${pc_flags} ${build_link_flags} -o ${KIVO_WORK_DIR}/consumer-pkg-config)
run_step(${KIVO_WORK_DIR}/consumer-pkg-config)

run_step(${CMAKE_COMMAND} -S ${KIVO_EXAMPLES_DIR} -B ${KIVO_WORK_DIR}/examples
    -G ${KIVO_GENERATOR} -DCMAKE_CXX_COMPILER=${KIVO_CXX} -DCMAKE_PREFIX_PATH=${prefix}
    "-DCMAKE_CXX_FLAGS=${cxx_flags}" "-DCMAKE_EXE_LINKER_FLAGS=${KIVO_LINK_FLAGS}")
run_step(${CMAKE_COMMAND} --build ${KIVO_WORK_DIR}/examples)
