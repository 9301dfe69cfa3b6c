# The fault matrix: brinomar-flash against a simulated device that misbehaves, a port that is
# gone, held or forbidden, files that cannot be written, and the user interrupting. Every case
# waits out at least one time-out, so the suite is labelled slow; scripts/soak.sh runs it again
# in an AddressSanitizer build, where a leak in any run fails its case.
if(TARGET brinomar_app AND TARGET brinomar-flash)
    kivo_slow_update_tests(faults faults ${CMAKE_CURRENT_LIST_DIR}/fault_matrix_test.cpp)
endif()
