# Cross-compiles the Windows x64 build with Debian's mingw-w64 (posix threads).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VELKARN_MINGW_PREFIX x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${VELKARN_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VELKARN_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${VELKARN_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VELKARN_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Tests run under Wine through CTest; the wrappers give them a throwaway prefix and keep
# their output off CTest's pipe.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-test.sh)
