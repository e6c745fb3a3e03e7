# Cross-compiling for 64-bit Windows with Debian's MinGW-w64 (the posix-thread g++, which has
# std::thread). Test programs run under Wine through scripts/wine-run.sh.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(OVEL_MINGW_PREFIX x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${OVEL_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${OVEL_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${OVEL_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${OVEL_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh)
