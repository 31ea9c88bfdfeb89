# Cross-builds the Windows x64 DLL with Debian's mingw-w64 (g++-mingw-w64-x86-64).
# The posix thread model is the one whose libstdc++ has std::thread and
# std::mutex in GCC 12; the runtimes are linked in statically so corvane.dll
# needs only the system's own DLLs.
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

# -static makes winpthread come from its archive as well; the system DLLs
# are still imported, since their import libraries are archives too.
set(CORVANE_STATIC_RUNTIME "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${CORVANE_STATIC_RUNTIME}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${CORVANE_STATIC_RUNTIME}")
