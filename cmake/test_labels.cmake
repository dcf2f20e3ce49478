# gtest_discover_tests (CMake 3.25) flattens its PROPERTIES list, so a list value such as
# LABELS "lumend;e2e" loses every label after the first and shifts the pairs after it
# (a TIMEOUT there is lost). This sets list-valued labels and the time-out on the discovered
# tests afterwards, from a ctest include file that runs after the discovery's own.
include(GoogleTest)

# project_discover_tests(<target> LABELS <label>... TIMEOUT <seconds> [DISCOVERY_TIMEOUT <s>])
function(project_discover_tests target)
  cmake_parse_arguments(T "" "TIMEOUT;DISCOVERY_TIMEOUT" "LABELS" ${ARGN})
  if(NOT T_TIMEOUT OR NOT T_LABELS)
    message(FATAL_ERROR "project_discover_tests(${target}) needs LABELS and TIMEOUT")
  endif()
  if(NOT T_DISCOVERY_TIMEOUT)
    # Listing the tests runs the binary; under qemu-arm that takes longer than natively.
    set(T_DISCOVERY_TIMEOUT 30)
  endif()
  gtest_discover_tests(${target} TEST_LIST ${target}_TESTS DISCOVERY_TIMEOUT ${T_DISCOVERY_TIMEOUT})
  set(props_file "${CMAKE_CURRENT_BINARY_DIR}/${target}_props.cmake")
  file(WRITE "${props_file}"
    "if(${target}_TESTS)\n"
    "  set_tests_properties(\${${target}_TESTS} PROPERTIES LABELS \"${T_LABELS}\" TIMEOUT ${T_TIMEOUT})\n"
    "endif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${props_file}")
endfunction()

# project_discover_armhf_tests(<target> LABELS <label>... TIMEOUT <seconds> PROGRAMS <VAR>=<path>...)
# The same end-to-end test binary once more, its tests named "armhf.<test>" and labelled armhf
# as well: each VAR (e.g. LUMEND_BIN) names the armhf build's program, which the bed runs
# under qemu-arm. ctest --preset armhf-e2e runs them; the other presets leave them out. They are
# registered only where the armhf build is given (ARMHF_E2E, set by the debug preset).
function(project_discover_armhf_tests target)
  if(NOT ARMHF_E2E)
    return()
  endif()
  cmake_parse_arguments(T "" "TIMEOUT" "LABELS;PROGRAMS" ${ARGN})
  gtest_discover_tests(${target} TEST_PREFIX armhf. TEST_LIST ${target}_ARMHF_TESTS DISCOVERY_TIMEOUT 30)
  # Without the armhf programs ctest does not run these tests and names the missing file.
  list(TRANSFORM T_PROGRAMS REPLACE "^[^=]*=" "" OUTPUT_VARIABLE programs)
  set(props_file "${CMAKE_CURRENT_BINARY_DIR}/${target}_armhf_props.cmake")
  file(WRITE "${props_file}"
    "if(${target}_ARMHF_TESTS)\n"
    "  set_tests_properties(\${${target}_ARMHF_TESTS} PROPERTIES LABELS \"${T_LABELS};armhf\" TIMEOUT ${T_TIMEOUT}\n"
    "                       ENVIRONMENT \"${T_PROGRAMS}\" REQUIRED_FILES \"${programs}\")\n"
    "endif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${props_file}")
endfunction()

# The definition of a program's path in an end-to-end test: the build's own binary, unless the
# environment variable of the same name gives another (the armhf build's).
function(project_program_path target var program)
  target_compile_definitions(${target} PRIVATE
    "${var}=testbed::program_under_test(\"${var}\",\"$<TARGET_FILE:${program}>\")")
endfunction()
