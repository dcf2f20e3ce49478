# Run as a test (cmake -P): a program may import from the Android libraries only what the
# board's platform (API level 22) has and the program is meant to use. Newer liblog calls
# would link against Debian's newer liblog here but fail to load on the device.
# Usage: cmake -DNM=<nm> -DBINARY=<program> -DALLOWED=<sym,sym,...|none> -P check_platform_imports.cmake
cmake_minimum_required(VERSION 3.22)
# Symbols of liblog and libcutils (the only Android libraries in the build).
set(platform_pattern "^(__android_log_|android_log|klog_|property_|ashmem_|atrace_|fs_|socket_)")

execute_process(COMMAND ${NM} --undefined-only --format=posix ${BINARY}
  OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${BINARY}")
endif()
string(REPLACE "," ";" allowed "${ALLOWED}")
string(REPLACE "\n" ";" lines "${out}")
set(errors "")
foreach(line ${lines})
  string(REGEX REPLACE "[ @].*" "" sym "${line}")
  if(sym MATCHES "${platform_pattern}" AND NOT sym IN_LIST allowed)
    string(APPEND errors "${BINARY} imports ${sym}, which is not allowed for it\n")
  endif()
endforeach()
if(errors)
  message(FATAL_ERROR "${errors}")
endif()
message(STATUS "${BINARY}: platform imports within ${ALLOWED}")
