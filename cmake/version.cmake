# The public header carries the version as HALVEX_CORVANE_VERSION_* and the
# library's run-time answers are made from those macros; project() carries
# it for the SONAME, the package files and the .deb. Refuse to configure
# when the two disagree, so they cannot drift apart.
file(STRINGS ${PROJECT_SOURCE_DIR}/include/halvex/corvane.h corvane_version_lines
     REGEX "^#define HALVEX_CORVANE_VERSION_(MAJOR|MINOR|PATCH) ")
foreach(part MAJOR MINOR PATCH)
  set(corvane_header_${part} "")
  foreach(line ${corvane_version_lines})
    if(line MATCHES "^#define HALVEX_CORVANE_VERSION_${part} +([0-9]+)$")
      set(corvane_header_${part} ${CMAKE_MATCH_1})
    endif()
  endforeach()
endforeach()
set(corvane_header_version "${corvane_header_MAJOR}.${corvane_header_MINOR}.${corvane_header_PATCH}")
if(NOT corvane_header_version STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "include/halvex/corvane.h says version ${corvane_header_version}, "
                      "CMakeLists.txt says ${PROJECT_VERSION}: change both together")
endif()
