# The version text of the tool server is built from the project version, a build
# number (the commit count) and the source revision, fixed at configure time.
find_package(Git QUIET)
set(KESTROVA_GIT_HASH "")
set(KESTROVA_BUILD_NUMBER "")
if(GIT_FOUND)
  execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --short HEAD
    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR} OUTPUT_VARIABLE KESTROVA_GIT_HASH
    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  execute_process(COMMAND ${GIT_EXECUTABLE} rev-list --count HEAD
    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR} OUTPUT_VARIABLE KESTROVA_BUILD_NUMBER
    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
configure_file(${CMAKE_SOURCE_DIR}/cmake/build_info.h.in
  ${CMAKE_BINARY_DIR}/generated/build_info.h @ONLY)
