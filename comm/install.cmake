# Installing kivocomm for other programs: the static library (the message tables are compiled
# into it), the public headers under include/kivo/ mirroring the source tree, a CMake package
# (find_package(kivocomm) -> kivo::kivocomm) and a pkg-config file (kivocomm.pc).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(KIVO_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/kivocomm)
set(KIVO_INSTALL_HEADERDIR ${CMAKE_INSTALL_INCLUDEDIR}/kivo)

# The headers of the unit folders are public, except the table generator's (a build tool) and
# those that declare themselves private to their unit.
file(GLOB_RECURSE KIVO_PUBLIC_HEADERS CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
list(FILTER KIVO_PUBLIC_HEADERS EXCLUDE REGEX
    "/(errors/tablegen/.*|errors/kvexcept_map|platform/serial_device|platform/serial_termios)\\.h$")
target_sources(kivocomm PUBLIC
    FILE_SET HEADERS BASE_DIRS ${PROJECT_SOURCE_DIR} FILES ${KIVO_PUBLIC_HEADERS})

# A program writes #include <kivo/comm/port/kvport.h>, while the headers include each other as
# "comm/...": an installation offers both roots. The build tree offers the <kivo/...> spelling
# too, so that the examples and projects that add this tree read the same as installed users.
set(KIVO_BUILD_INCLUDEDIR ${CMAKE_CURRENT_BINARY_DIR}/include)
file(MAKE_DIRECTORY ${KIVO_BUILD_INCLUDEDIR}/kivo)
file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR} ${KIVO_BUILD_INCLUDEDIR}/kivo/comm
    SYMBOLIC COPY_ON_ERROR)
target_compile_features(kivocomm PUBLIC cxx_std_20)
target_include_directories(kivocomm PUBLIC
    $<BUILD_INTERFACE:${KIVO_BUILD_INCLUDEDIR}>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>
    $<INSTALL_INTERFACE:${KIVO_INSTALL_HEADERDIR}>)

install(TARGETS kivocomm EXPORT kivocommTargets
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    FILE_SET HEADERS DESTINATION ${KIVO_INSTALL_HEADERDIR})
install(EXPORT kivocommTargets NAMESPACE kivo:: DESTINATION ${KIVO_INSTALL_CMAKEDIR})

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/kivocommConfig.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/kivocommConfig.cmake
    INSTALL_DESTINATION ${KIVO_INSTALL_CMAKEDIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/kivocommConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES
    ${CMAKE_CURRENT_BINARY_DIR}/kivocommConfig.cmake
    ${CMAKE_CURRENT_BINARY_DIR}/kivocommConfigVersion.cmake
    DESTINATION ${KIVO_INSTALL_CMAKEDIR})

# The pkg-config file finds its prefix from where it lies, so that an installation made with
# `cmake --install --prefix` or moved afterwards stays usable.
file(RELATIVE_PATH KIVO_PC_PREFIX_FROM_PCDIR /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" KIVO_PC_PREFIX_FROM_PCDIR ${KIVO_PC_PREFIX_FROM_PCDIR})
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/kivocomm.pc.in
    ${CMAKE_CURRENT_BINARY_DIR}/kivocomm.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kivocomm.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
