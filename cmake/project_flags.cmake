# Common compile settings. Programs and their unit tests get the sanitizer set chosen by
# SANITIZE ("fuzzer": clang's coverage feedback for libFuzzer with ASan + UBSan, see fuzz/); the test bed's preload and harness never do (they run inside or beside
# the program under test and must not bring a second sanitizer runtime).

set(PROJECT_WARNINGS -Wall -Wextra -Wshadow -Wformat=2 -Wconversion -Wno-sign-conversion -Werror)
# GCC on 32-bit ARM notes that passing some std::vector iterators changed in GCC 7.1 (a
# "psabi" note). Every object here is built by one compiler, so that ABI change cannot bite.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
  list(APPEND PROJECT_WARNINGS -Wno-psabi)
endif()

function(project_defaults target)
  target_compile_options(${target} PRIVATE ${PROJECT_WARNINGS})
endfunction()

# Device code: no exceptions or RTTI are needed.
function(project_program_defaults target)
  project_defaults(${target})
  target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti>)
endfunction()

function(project_sanitize target)
  if(SANITIZE STREQUAL "address")
    target_compile_options(${target} PRIVATE -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
    target_link_options(${target} PRIVATE -fsanitize=address,undefined)
  elseif(SANITIZE STREQUAL "fuzzer")
    target_compile_options(${target} PRIVATE -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
    target_link_options(${target} PRIVATE -fsanitize=address,undefined)
  elseif(SANITIZE STREQUAL "thread")
    target_compile_options(${target} PRIVATE -fsanitize=thread -fno-omit-frame-pointer)
    target_link_options(${target} PRIVATE -fsanitize=thread)
  elseif(NOT SANITIZE STREQUAL "")
    message(FATAL_ERROR "SANITIZE must be empty, address, thread or fuzzer")
  endif()
endfunction()

# A program module (static library of one layer) or binary of the device code.
function(project_module target)
  project_program_defaults(${target})
  project_sanitize(${target})
endfunction()

# A library preloaded into programs under the test bed (never sanitized: it runs inside the
# program under test). All of a build's preloads land in <build>/preload, where the bed of a
# host build finds the armhf build's copies for programs run under qemu-arm.
function(project_preload target)
  add_library(${target} SHARED ${ARGN})
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror -fvisibility=hidden)
  target_link_libraries(${target} PRIVATE ${CMAKE_DL_LIBS})
  set_target_properties(${target} PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/preload)
endfunction()
