# The window runs updates against the device simulator, started as the command-line tests do;
# brinomar-update itself is started the same way.
if(TARGET test_gui)
    target_sources(test_gui PRIVATE
        ${PROJECT_SOURCE_DIR}/tests/cli/child_process.cpp
        ${PROJECT_SOURCE_DIR}/tests/cli/update_harness.cpp)
    if(TARGET brinomar-devsim)
        add_dependencies(test_gui brinomar-devsim)
    endif()
    if(TARGET brinomar-update)
        add_dependencies(test_gui brinomar-update)
    endif()
endif()
