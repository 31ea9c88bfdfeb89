# MinGW's C++, gcc and winpthread runtimes are linked in statically (-static
# takes winpthread from its archive too), so corvane.dll and the test
# programs need only the system's own DLLs, whose import libraries are
# archives as well.
if(MINGW)
  add_link_options(-static -static-libgcc -static-libstdc++)
endif()

# corvane.dll: the core archive pulled in whole, exporting exactly the
# functions that cmake/corvane.def lists.
add_library(corvane SHARED ${PROJECT_SOURCE_DIR}/src/component/exports_anchor.c
                           ${PROJECT_SOURCE_DIR}/cmake/corvane.def)
target_link_libraries(corvane PRIVATE -Wl,--whole-archive corvane_core -Wl,--no-whole-archive)
target_link_libraries(corvane PRIVATE ${CORVANE_WINDOWS_LIBRARIES})
target_link_options(corvane PRIVATE -Wl,--no-undefined)
target_include_directories(corvane PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>)
# "corvane.dll", not mingw's default "libcorvane.dll".
set_target_properties(corvane PROPERTIES OUTPUT_NAME corvane PREFIX "" IMPORT_PREFIX "")
