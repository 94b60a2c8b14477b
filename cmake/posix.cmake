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
