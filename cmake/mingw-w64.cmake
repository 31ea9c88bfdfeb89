# Cross-builds the Windows x64 DLL with Debian's mingw-w64 (g++-mingw-w64-x86-64).
# The posix thread model is the one whose libstdc++ has std::thread and
# std::mutex in GCC 12.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CORVANE_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${CORVANE_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${CORVANE_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${CORVANE_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${CORVANE_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The static C++ and thread runtimes are linked by cmake/windows.cmake, so a
# native MinGW build on Windows gets them as well.

# Test programs run through wine when it is installed (CTest, try_run).
find_program(CORVANE_WINE wine)
if(CORVANE_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CORVANE_WINE})
endif()
