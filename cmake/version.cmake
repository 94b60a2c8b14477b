# kvmon_version.h, generated from VERSION: the numbers for the version resource and the
# text the tools print for --version. KVMON_VERSION_SUFFIX marks builds that are not a
# commit as it stands (scripts/package --force sets "-dirty"); the numbers never carry it.
set(KVMON_VERSION_SUFFIX "" CACHE STRING "Appended to the version text, e.g. -dirty")
set(KVMON_VERSION_STRING "${PROJECT_VERSION}${KVMON_VERSION_SUFFIX}")
set(KVMON_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
configure_file(${CMAKE_CURRENT_LIST_DIR}/kvmon_version.h.in ${KVMON_GENERATED_DIR}/kvmon_version.h @ONLY)

add_library(kvmon_version INTERFACE)
target_include_directories(kvmon_version INTERFACE ${KVMON_GENERATED_DIR})
