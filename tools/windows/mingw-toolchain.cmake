# Cross-compiling for 64-bit Windows with Debian's MinGW-w64 (the POSIX-threads flavour, which
# C++ threads need). Programs (Qt's host tools among them) come from the build machine;
# libraries, headers and CMake packages only from the MinGW root and the Qt for MinGW install.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(mingw x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${mingw}-windres)
set(CMAKE_AR ${mingw}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${mingw}-ranlib CACHE FILEPATH "")

# Qt for MinGW is built into a folder beside the copy of this file that its build used
# (tools/windows/build-qt.sh), and its CMake files chain-load that copy.
list(APPEND CMAKE_FIND_ROOT_PATH /usr/${mingw} ${CMAKE_CURRENT_LIST_DIR}/qt)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
