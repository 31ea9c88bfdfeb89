# What `cmake --install` puts under the prefix, for both systems:
#   include/halvex/corvane.h
#   the shared library (libcorvane.so.26 with its links; corvane.dll in bin/
#     and its import library corvane.dll.a in lib/ on Windows)
#   the command-line tools that the build made, in bin/ (each tools/ folder
#     installs its own program, with CORVANE_TOOL_RPATH)
#   lib/cmake/corvane/  corvaneConfig.cmake, its version file and the
#                       exported target corvane::corvane
#   lib/pkgconfig/corvane.pc
#   share/doc/corvane/  LICENSE, README.md, CHANGELOG.md
# and the settings that `cpack -G DEB` packs it with.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(CORVANE_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/corvane CACHE STRING
    "Where corvaneConfig.cmake goes, relative to the prefix")
mark_as_advanced(CORVANE_INSTALL_CMAKEDIR)

target_include_directories(corvane INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
install(TARGETS corvane EXPORT corvaneTargets
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_SKIP
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
# The unversioned link is what a program links against; it goes with the rest.
if(NOT WIN32)
  install(TARGETS corvane LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_ONLY)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/include/halvex/corvane.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/halvex)

install(EXPORT corvaneTargets NAMESPACE corvane:: FILE corvaneTargets.cmake
        DESTINATION ${CORVANE_INSTALL_CMAKEDIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/corvaneConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/corvaneConfig.cmake
                              INSTALL_DESTINATION ${CORVANE_INSTALL_CMAKEDIR})
# A new major version is a new ABI (and a new SONAME).
write_basic_package_version_file(${PROJECT_BINARY_DIR}/corvaneConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/corvaneConfig.cmake ${PROJECT_BINARY_DIR}/corvaneConfigVersion.cmake
        DESTINATION ${CORVANE_INSTALL_CMAKEDIR})

# The .pc file finds its prefix from where it lies, so the prefix may be
# chosen at install time (cmake --install --prefix) or by a package.
file(RELATIVE_PATH CORVANE_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" CORVANE_PC_TO_PREFIX "${CORVANE_PC_TO_PREFIX}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/corvane.pc.in ${PROJECT_BINARY_DIR}/corvane.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/corvane.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(FILES ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/CHANGELOG.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

# Installed programs find the library in the same prefix, wherever it lies.
file(RELATIVE_PATH CORVANE_BIN_TO_LIB /prefix/${CMAKE_INSTALL_BINDIR} /prefix/${CMAKE_INSTALL_LIBDIR})
set(CORVANE_TOOL_RPATH "$ORIGIN/${CORVANE_BIN_TO_LIB}")

# cpack -G DEB: one package, "corvane", with everything above. A project that
# adds this tree to its own build packs itself.
if(NOT PROJECT_IS_TOP_LEVEL)
  return()
endif()
set(CPACK_PACKAGE_NAME corvane)
set(CPACK_PACKAGE_VENDOR "Halvex")
set(CORVANE_PACKAGE_CONTACT "Corvane maintainers <corvane@halvex.invalid>" CACHE STRING
    "Maintainer field of the Debian package")
set(CPACK_PACKAGE_CONTACT "${CORVANE_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "library that lets an application act as a cloud-storage sync provider")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
       "Corvane registers a folder as a sync root, keeps its items as placeholders filled on demand by\n"
       "the host application, and reports local changes to it. Linux builds run on the local\n"
       "cloud-files platform. Contains the shared library, the C header, CMake and pkg-config files,\n"
       "corvane-mirror (an example provider) and corvane-client.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Registers the library with ldconfig on install and removal.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_STRIP_FILES ON)
include(CPack)
