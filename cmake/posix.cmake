# POSIX build: the monitor against our Win32 subset, the simulation, tools and tests.
option(KVMON_SANITIZE "Sanitizers to build with: address, thread or empty" "")
if(KVMON_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
elseif(KVMON_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

find_package(Threads REQUIRED)

add_subdirectory(platform)

add_library(kvmon_core STATIC ${KVMON_SOURCES})
target_include_directories(kvmon_core PUBLIC ${CMAKE_SOURCE_DIR}/monitor)
target_link_libraries(kvmon_core PUBLIC kvplatform)

add_subdirectory(sim)

enable_testing()
if(EXISTS ${CMAKE_SOURCE_DIR}/tests/CMakeLists.txt)
  add_subdirectory(tests)
endif()
if(EXISTS ${CMAKE_SOURCE_DIR}/tools/CMakeLists.txt)
  add_subdirectory(tools)
endif()

# Shape of the Windows product: pass -DKVMON_WINDOWS_DLL=<path to kvmon.dll> built by the
# Windows configuration to check its exports, imports and resources here.
set(KVMON_WINDOWS_DLL "" CACHE FILEPATH "kvmon.dll of the Windows build, checked by ctest")
if(KVMON_WINDOWS_DLL)
  find_program(KVMON_MINGW_OBJDUMP NAMES i686-w64-mingw32-objdump REQUIRED)
  add_test(NAME windows_dll_shape
           COMMAND bash ${CMAKE_SOURCE_DIR}/tests/windows/check_dll.sh ${KVMON_WINDOWS_DLL})
  set_tests_properties(windows_dll_shape PROPERTIES ENVIRONMENT "OBJDUMP=${KVMON_MINGW_OBJDUMP}")
endif()
if(KVMON_BENCH)
  add_subdirectory(bench)
endif()
