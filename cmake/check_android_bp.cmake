# Run as a test (cmake -P): the device build's explicit source lists in Android.bp must match
# the program directories. For every program present in the tree, each listed source must
# exist and each program source must be listed. Host-only stand-ins are not device sources.
# Usage: cmake -DSOURCE_DIR=<tree> -P check_android_bp.cmake
cmake_minimum_required(VERSION 3.22)
include(${CMAKE_CURRENT_LIST_DIR}/program_sources.cmake)

file(READ "${SOURCE_DIR}/Android.bp" bp)
string(REGEX MATCHALL "\"[a-z_]+/[A-Za-z0-9_]+\\.(cpp|c)\"" quoted "${bp}")
set(listed "")
foreach(q ${quoted})
  string(REPLACE "\"" "" q "${q}")
  list(APPEND listed "${q}")
endforeach()

set(errors "")
foreach(prog ${PROGRAMS})
  program_sources("${SOURCE_DIR}" ${prog} present)
  if(NOT present)
    message(STATUS "${prog}: not in this tree yet, not checked")
    continue()
  endif()
  set(listed_here "${listed}")
  list(FILTER listed_here INCLUDE REGEX "^${prog}/")
  compare_sources("${SOURCE_DIR}" Android.bp ${prog} "${listed_here}" errors)
endforeach()
if(errors)
  message(FATAL_ERROR "${errors}")
endif()
message(STATUS "Android.bp source lists match the tree")
