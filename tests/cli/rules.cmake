# The command-line tests read the option parser directly and run the program itself, against
# the device simulator.
if(TARGET test_cli AND TARGET brinomar-flash)
    target_sources(test_cli PRIVATE ${PROJECT_SOURCE_DIR}/cli/flashoptions.cpp
        ${PROJECT_SOURCE_DIR}/cli/progressbar.cpp)
    add_dependencies(test_cli brinomar-flash brinomar-devsim)

    # Runs where every wait runs out take a minute or more: a program of their own, labelled.
    file(GLOB CLI_SLOW_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/slow/*.cpp)
    kivo_slow_update_tests(cli_slow cli ${CLI_SLOW_SOURCES})
endif()
