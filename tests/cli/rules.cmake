# The command-line tests read the option parser directly and run the program itself.
if(TARGET test_cli AND TARGET brinomar-flash)
    target_sources(test_cli PRIVATE ${PROJECT_SOURCE_DIR}/cli/flashoptions.cpp)
    add_dependencies(test_cli brinomar-flash)
endif()
