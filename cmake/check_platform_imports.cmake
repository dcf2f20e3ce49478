# Run as a test (cmake -P): what a program's own object files (its layer libraries and entry,
# not the linked binary, which carries the host C library's start-up code) take from outside
# the program must exist on the board's platform (API level 22).
# - From liblog and libcutils: only what the program is meant to use (ALLOWED). Newer liblog
#   calls would link against Debian's newer liblog here but fail to load on the device.
# - With BIONIC (a list of what bionic's libc.so exports, given for 32-bit ARM objects only):
#   everything else must be in that list, or be one of the few names below that the host's
#   glibc headers and the compiler spell differently from the device's.
# Usage: cmake -DNM=<nm> -DPROGRAM=<name> -DOBJECTS=<o;o;...> -DALLOWED=<sym,sym,...|none>
#              [-DBIONIC=<list file>] -P check_platform_imports.cmake
cmake_minimum_required(VERSION 3.22)
# Symbols of liblog and libcutils (the only Android libraries in the build).
set(platform_pattern "^(__android_log_|android_log|klog_|property_|ashmem_|atrace_|fs_|socket_)")

# glibc spelling=bionic spelling. With bionic's headers the device's compiler emits the second
# where Debian's glibc headers emit the first.
set(glibc_to_bionic
  # bionic (API level 22) defines stdin, stdout and stderr as &__sF[0..2]; glibc exports the
  # three as variables.
  stdin=__sF stdout=__sF stderr=__sF
  # The errno macro: glibc reads it through __errno_location(), bionic through __errno().
  __errno_location=__errno
  # glibc gives the scanf family C99-conforming __isoc99_ names (the plain names keep an old
  # GNU meaning of %a); bionic has only the standard functions.
  __isoc99_sscanf=sscanf __isoc99_fscanf=fscanf __isoc99_scanf=scanf __isoc99_vsscanf=vsscanf
  # _FORTIFY_SOURCE: glibc checks the printf family through __*printf_chk; bionic's headers of
  # API level 22 leave these four unchecked and call them by their plain names.
  __printf_chk=printf __fprintf_chk=fprintf __vprintf_chk=vprintf __vfprintf_chk=vfprintf
  # _FORTIFY_SOURCE: glibc checks the descriptor of FD_SET/FD_ISSET/FD_CLR in __fdelt_chk,
  # bionic in __FD_SET_chk, __FD_ISSET_chk and __FD_CLR_chk. (memcpy, snprintf, read and the
  # other checked calls have the same __*_chk names in both and are in the list.)
  __fdelt_chk=__FD_ISSET_chk)
# C++ runtime. On the device these come from the platform's libstdc++, bionic's small C++
# runtime that the platform build links into every C++ program: operator new and delete
# (plain, array, nothrow; size_t is 32 bits), the guards of function-local statics and the
# pure-virtual trap. The rest of a C++ library (std:: code, exceptions, RTTI) is not there.
set(cxx_runtime _Znwj _Znaj _ZdlPv _ZdaPv _ZnwjRKSt9nothrow_t _ZnajRKSt9nothrow_t
  _ZdlPvRKSt9nothrow_t _ZdaPvRKSt9nothrow_t _ZSt7nothrow
  __cxa_guard_acquire __cxa_guard_release __cxa_guard_abort __cxa_pure_virtual)
# Compiler runtime: the ARM EABI helpers (division, 64-bit shifts) and the unwinder's routines
# come from libgcc, which the compiler links statically into every binary, the device's too.
set(compiler_runtime "^(__aeabi_|__gnu_Unwind_|__gnu_unwind_|_Unwind_)")
# Defined by the static linker and the start-up objects (crtbegin), not by a library.
set(link_time _GLOBAL_OFFSET_TABLE_ __dso_handle)

execute_process(COMMAND ${NM} --defined-only --format=posix ${OBJECTS}
  OUTPUT_VARIABLE defined_out RESULT_VARIABLE rc1)
execute_process(COMMAND ${NM} --undefined-only --format=posix --print-file-name ${OBJECTS}
  OUTPUT_VARIABLE undefined_out RESULT_VARIABLE rc2)
if(NOT rc1 EQUAL 0 OR NOT rc2 EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${OBJECTS}")
endif()
# Symbols that one of the program's objects defines for another.
string(REPLACE "\n" ";" lines "${defined_out}")
set(defined "")
foreach(line ${lines})
  if(line MATCHES "^([^ ]+) [^U ]")
    list(APPEND defined "${CMAKE_MATCH_1}")
  endif()
endforeach()
set(bionic "")
if(BIONIC)
  file(STRINGS "${BIONIC}" bionic REGEX "^[^#]")
endif()
string(REPLACE "," ";" allowed "${ALLOWED}")
string(REPLACE "\n" ";" lines "${undefined_out}")
set(errors "")
foreach(line ${lines})
  if(NOT line MATCHES "^(.*): ([^ ]+) U")
    continue()
  endif()
  get_filename_component(obj "${CMAKE_MATCH_1}" NAME)
  set(sym "${CMAKE_MATCH_2}")
  set(where "${PROGRAM} (${obj})")
  if(sym IN_LIST defined)
    continue()
  elseif(sym MATCHES "${platform_pattern}")
    if(NOT sym IN_LIST allowed)
      string(APPEND errors "${where} imports ${sym} from liblog/libcutils, which it is not meant to use (allowed: ${ALLOWED})\n")
    endif()
    continue()
  elseif(NOT BIONIC OR sym IN_LIST bionic OR sym IN_LIST cxx_runtime OR sym IN_LIST link_time
         OR sym MATCHES "${compiler_runtime}")
    continue()
  endif()
  set(spelling "")
  foreach(pair ${glibc_to_bionic})
    if(pair MATCHES "^${sym}=(.*)")
      set(spelling "${CMAKE_MATCH_1}")
    endif()
  endforeach()
  if(spelling AND spelling IN_LIST bionic)
    continue()
  elseif(sym MATCHES "^(_Z|__cxa_|__gxx_)")
    string(APPEND errors "${where} needs ${sym} of the C++ library, exceptions or RTTI, which "
      "the platform's C++ runtime lacks: use plain C constructs\n")
  else()
    string(APPEND errors "${where} calls ${sym}, which the platform's C library (bionic, API "
      "level 22) does not have: use a call that ${BIONIC} lists\n")
  endif()
endforeach()
if(errors)
  message(FATAL_ERROR "${errors}")
endif()
if(BIONIC)
  message(STATUS "${PROGRAM}: imports within bionic libc of API level 22 and ${ALLOWED}")
else()
  message(STATUS "${PROGRAM}: platform imports within ${ALLOWED}")
endif()
