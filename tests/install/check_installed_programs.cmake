# Installs a build tree into a scratch prefix and checks what a user of the programs finds
# there: exactly the programs that were built, each answering --version with its name and the
# project's version, and with the window its desktop entry and the icon that entry names.
cmake_minimum_required(VERSION 3.25)

set(prefix ${KIVO_WORK_DIR}/prefix)
file(REMOVE_RECURSE ${KIVO_WORK_DIR})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${KIVO_BUILD_DIR} --prefix ${prefix}
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "cmake --install failed (${result}):\n${output}")
endif()

file(GLOB installed RELATIVE ${prefix}/${KIVO_BINDIR} ${prefix}/${KIVO_BINDIR}/*)
list(SORT installed)
set(expected ${KIVO_PROGRAMS})
list(SORT expected)
if(NOT installed STREQUAL expected)
    message(FATAL_ERROR
        "${KIVO_BINDIR} holds '${installed}' instead of the programs built, '${expected}'")
endif()

# The window is asked on the offscreen platform: without a display it cannot start at all.
foreach(program ${KIVO_PROGRAMS})
    execute_process(COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen
            ${prefix}/${KIVO_BINDIR}/${program} --version
        RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE errors)
    if(NOT result EQUAL 0 OR NOT output STREQUAL "${program} ${KIVO_VERSION}\n")
        message(FATAL_ERROR
            "${program} --version ended with ${result} and printed '${output}' ${errors}")
    endif()
endforeach()

set(entry ${prefix}/${KIVO_DATADIR}/applications/brinomar-update.desktop)
set(icon ${prefix}/${KIVO_DATADIR}/icons/hicolor/256x256/apps/brinomar-update.png)
if(NOT "brinomar-update" IN_LIST KIVO_PROGRAMS)
    if(EXISTS ${entry} OR EXISTS ${icon})
        message(FATAL_ERROR "a desktop entry or icon is installed for a window that was not built")
    endif()
    return()
endif()

file(STRINGS ${entry} lines)
foreach(line "Type=Application" "Name=Brinomar Update" "Exec=brinomar-update"
        "Icon=brinomar-update" "Terminal=false")
    if(NOT line IN_LIST lines)
        message(FATAL_ERROR "${entry} lacks the line ${line}")
    endif()
endforeach()
find_program(validate desktop-file-validate)
if(validate)
    execute_process(COMMAND ${validate} ${entry} RESULT_VARIABLE result OUTPUT_VARIABLE output
        ERROR_VARIABLE output)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "desktop-file-validate refuses ${entry}:\n${output}")
    endif()
endif()

# A PNG whose header (signature, then the IHDR chunk with width and height) gives the size of
# the folder it lies in: 256 x 256.
if(NOT EXISTS ${icon})
    message(FATAL_ERROR "no icon at ${icon}")
endif()
file(READ ${icon} header LIMIT 24 HEX)
if(NOT header STREQUAL "89504e470d0a1a0a0000000d494844520000010000000100")
    message(FATAL_ERROR "${icon} is no 256 x 256 PNG (header ${header})")
endif()
