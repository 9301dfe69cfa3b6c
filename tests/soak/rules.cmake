# The port soak: open/close cycles of a port component with traffic, triggers and closes from
# inside handlers and waits. The normal suite runs a short soak; scripts/soak.sh runs a long
# one (KIVO_SOAK_CYCLES) under AddressSanitizer and ThreadSanitizer.
file(GLOB KIVO_SOAK_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/*.cpp)
add_executable(test_soak ${KIVO_SOAK_SOURCES})
target_include_directories(test_soak PRIVATE ${PROJECT_SOURCE_DIR})
target_link_libraries(test_soak PRIVATE kivocomm kivo_fakes GTest::gtest_main)
gtest_discover_tests(test_soak DISCOVERY_TIMEOUT 60 PROPERTIES LABELS "soak")
