# Windows build: kvmon.dll, the product. Cross-compiled with cmake/mingw-i686.cmake.
# The monitor sources see the real <windows.h> and <winspool.h> here.
enable_language(RC)

# Reproducible output: the same sources and tools give the same bytes wherever and whenever
# they are built. No build folder in the objects (file names, debug information, __FILE__),
# no link time in the PE header, archives without member times, owners or modes. Where
# two maps match, gcc takes the last: the build folder's, which may lie inside the sources.
add_compile_options(-ffile-prefix-map=${CMAKE_SOURCE_DIR}=. -ffile-prefix-map=${CMAKE_BINARY_DIR}=build)
add_link_options(-Wl,--no-insert-timestamp)
foreach(lang C CXX)
  set(CMAKE_${lang}_ARCHIVE_CREATE "<CMAKE_AR> qcD <TARGET> <LINK_FLAGS> <OBJECTS>")
  set(CMAKE_${lang}_ARCHIVE_APPEND "<CMAKE_AR> qD <TARGET> <LINK_FLAGS> <OBJECTS>")
  set(CMAKE_${lang}_ARCHIVE_FINISH "<CMAKE_RANLIB> -D <TARGET>")
endforeach()

if(NOT KVMON_DLLTOOL)
  find_program(KVMON_DLLTOOL NAMES i686-w64-mingw32-dlltool dlltool REQUIRED)
endif()

# Import library for SPOOLSS.dll, by undecorated name (mingw's libspoolss carries only the
# wide functions, and libwinspool binds to winspool.drv).
set(KVMON_SPOOLSS_DEF ${CMAKE_SOURCE_DIR}/cmake/spoolss.def)
set(KVMON_SPOOLSS_LIB ${CMAKE_BINARY_DIR}/libkvspoolss.a)
# dlltool names the library's internal symbols after its output path, which ends up in
# the DLL: it writes into the build folder under a relative name.
add_custom_command(
  OUTPUT ${KVMON_SPOOLSS_LIB}
  COMMAND ${KVMON_DLLTOOL} --deterministic-libraries -m i386 -k -d ${KVMON_SPOOLSS_DEF} -l libkvspoolss.a
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
  DEPENDS ${KVMON_SPOOLSS_DEF}
  COMMENT "Generating SPOOLSS.dll import library"
  VERBATIM)
add_custom_target(kvspoolss_implib DEPENDS ${KVMON_SPOOLSS_LIB})

# The resource script is compiled by hand: the directory-wide warning flags are for the
# C/C++ compilers and windres refuses them. The script is UTF-8 (code page 65001); it takes
# its version numbers from the generated kvmon_version.h.
set(KVMON_RC ${CMAKE_SOURCE_DIR}/resources/kvmon.rc)
set(KVMON_RES ${CMAKE_BINARY_DIR}/kvmon_res.o)
add_custom_command(
  OUTPUT ${KVMON_RES}
  COMMAND ${CMAKE_RC_COMPILER} --codepage=65001 -I ${CMAKE_SOURCE_DIR}/resources -I ${KVMON_GENERATED_DIR}
          --preprocessor-arg=-ffile-prefix-map=${CMAKE_SOURCE_DIR}=.
          --preprocessor-arg=-ffile-prefix-map=${CMAKE_BINARY_DIR}=build
          -O coff -i ${KVMON_RC} -o ${KVMON_RES}
  DEPENDS ${KVMON_RC} ${CMAKE_SOURCE_DIR}/resources/strings.h ${KVMON_GENERATED_DIR}/kvmon_version.h
  COMMENT "Compiling kvmon.rc"
  VERBATIM)

# The DLL carries no C or C++ runtime: it depends on the system alone (KERNEL32, USER32,
# ADVAPI32 and the spooler's SPOOLSS), has no TLS directory and no start-up code. DllMain is
# the entry point; nothing needs constructing first. The system's own functions do the
# formatting, string and memory work; monitor/runtime.cpp holds the few functions the
# compiler itself calls. No exceptions, RTTI, unwind tables or stack protector, which
# would each need runtime support. The code runs on a 486 (Windows 98 and ME need one): the
# compiler's default, the Pentium Pro, would use CMOV, an invalid instruction on the 486
# and the Pentium; the interlocked operations need the 486's CMPXCHG.
add_library(kvmon SHARED ${KVMON_SOURCES} ${CMAKE_SOURCE_DIR}/monitor/runtime.cpp ${KVMON_RES}
            ${CMAKE_SOURCE_DIR}/monitor/kvmon.def)
add_dependencies(kvmon kvspoolss_implib)
target_include_directories(kvmon PRIVATE ${CMAKE_SOURCE_DIR}/monitor)
target_compile_options(kvmon PRIVATE -march=i486 -mtune=generic -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables
                       -fno-unwind-tables -fno-stack-protector -fno-threadsafe-statics)
set_target_properties(kvmon PROPERTIES
  PREFIX ""
  OUTPUT_NAME kvmon
  LINK_DEPENDS ${KVMON_SPOOLSS_LIB})
# Our SPOOLSS import library comes before the system libraries so the spooler functions
# bind to SPOOLSS.dll; -nostdlib leaves the system import libraries of
# CMAKE_CXX_STANDARD_LIBRARIES and nothing else.
target_link_options(kvmon PRIVATE -nostdlib -nostartfiles -Wl,--entry,_DllMain@12 -Wl,--no-undefined)
target_link_libraries(kvmon PRIVATE ${KVMON_SPOOLSS_LIB})
# What is built is what ships and what the tests load: kvmon.dll without debug sections or
# symbols. Its debug information goes beside it into kvmon.dll.debug, which the DLL names in
# a debug link (a file name and a checksum, the same on every build). objcopy stamps a PE
# image it writes with the time, or with SOURCE_DATE_EPOCH: 0, as the linker leaves it.
add_custom_command(TARGET kvmon POST_BUILD
  COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=0
          ${CMAKE_OBJCOPY} --only-keep-debug kvmon.dll kvmon.dll.debug
  COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=0
          ${CMAKE_OBJCOPY} --strip-all --add-gnu-debuglink=kvmon.dll.debug kvmon.dll
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
  BYPRODUCTS ${CMAKE_BINARY_DIR}/kvmon.dll.debug
  VERBATIM)
set_source_files_properties(${CMAKE_SOURCE_DIR}/monitor/runtime.cpp PROPERTIES
  COMPILE_OPTIONS "-ffreestanding;-fno-builtin;-fno-tree-loop-distribute-patterns")

# kvmon-stat.exe: reads a port's status block beside the DLL on a Windows machine. It uses
# only the monitor's decoding, not the spooler.
add_executable(kvmon-stat
  ${CMAKE_SOURCE_DIR}/tools/stat/kvmon_stat.cpp
  ${CMAKE_SOURCE_DIR}/tools/stat/statblock.cpp
  ${CMAKE_SOURCE_DIR}/tools/decode/devstatus.cpp
  ${CMAKE_SOURCE_DIR}/tools/decode/codetext.cpp
  ${CMAKE_SOURCE_DIR}/tools/decode/report.cpp
  ${CMAKE_SOURCE_DIR}/tools/decode/report_json.cpp
  ${CMAKE_SOURCE_DIR}/tools/decode/json.cpp
  ${CMAKE_SOURCE_DIR}/tools/cli/args.cpp
  ${CMAKE_SOURCE_DIR}/tools/cli/numbers.cpp
  ${CMAKE_SOURCE_DIR}/status/devid.cpp
  ${CMAKE_SOURCE_DIR}/status/codetable.cpp
  ${CMAKE_SOURCE_DIR}/monitor/strutil.cpp
  ${CMAKE_SOURCE_DIR}/publish/mapname.cpp)
target_include_directories(kvmon-stat PRIVATE ${CMAKE_SOURCE_DIR}/monitor ${CMAKE_SOURCE_DIR}/tools/stat
  ${CMAKE_SOURCE_DIR}/tools/decode ${CMAKE_SOURCE_DIR}/tools/cli)
target_link_libraries(kvmon-stat PRIVATE kvmon_version)
target_link_options(kvmon-stat PRIVATE -static-libgcc -static-libstdc++ -static)

# Windows tests under Wine (scripts/test-wine): the SPOOLSS.dll test double and the
# GoogleTest runner, built beside kvmon.dll. Off by default; the product is unchanged.
option(KVMON_WINE_TESTS "Build the SPOOLSS.dll test double and the Wine test runner" OFF)
if(KVMON_WINE_TESTS)
  add_subdirectory(${CMAKE_SOURCE_DIR}/tests/wine ${CMAKE_BINARY_DIR}/tests/wine)
endif()
