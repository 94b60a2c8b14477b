# Cross toolchain for the product: 32-bit Windows DLL built with mingw-w64 (i686).
# Use: cmake -S . -B build/win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(KVMON_MINGW_PREFIX i686-w64-mingw32)

# Prefer the win32 threading variant: its libstdc++ needs no winpthread DLL.
find_program(CMAKE_C_COMPILER NAMES ${KVMON_MINGW_PREFIX}-gcc-win32 ${KVMON_MINGW_PREFIX}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${KVMON_MINGW_PREFIX}-g++-win32 ${KVMON_MINGW_PREFIX}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${KVMON_MINGW_PREFIX}-windres REQUIRED)
find_program(KVMON_DLLTOOL NAMES ${KVMON_MINGW_PREFIX}-dlltool REQUIRED)
find_program(KVMON_OBJDUMP NAMES ${KVMON_MINGW_PREFIX}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${KVMON_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# CMake's MinGW default adds a dozen system import libraries, winspool among them
# (whose printer functions live in winspool.drv). Keep only what the monitor uses; the
# spooler functions come from our own SPOOLSS import library (cmake/windows.cmake).
set(CMAKE_C_STANDARD_LIBRARIES "-luser32 -ladvapi32 -lkernel32" CACHE STRING "" FORCE)
set(CMAKE_CXX_STANDARD_LIBRARIES "-luser32 -ladvapi32 -lkernel32" CACHE STRING "" FORCE)
