# Run as a test (cmake -P): every device source of the programs compiles at the language level
# of the API-22 platform tree (C++11 with GNU extensions, warnings as errors, no exceptions or
# RTTI) and includes nothing of the C++ library that the platform's C++ runtime of that age
# lacks: it has the C library's headers, their C++ wrappers and <new>, no <atomic>, <vector>,
# <string> and the like. Each header of the compiler's own C++ library beyond those is
# replaced by a stand-in that stops the compile with a message saying so.
# Usage: cmake -DSOURCE_DIR=<tree> -DWORK_DIR=<scratch dir> -DCXX=<compiler>
#   -DCXX_INCLUDE_DIRS=<compiler's implicit include dirs> -DEXTRA_INCLUDES=<dirs> -P check_language_level.cmake
cmake_minimum_required(VERSION 3.22)
include(${CMAKE_CURRENT_LIST_DIR}/program_sources.cmake)

set(cxx_flags -x c++ -std=gnu++11 -fno-exceptions -fno-rtti)
set(c_flags -x c -std=gnu99)
set(common_flags -Os -Wall -Wextra -Werror)
# What the platform's C++ runtime of API level 22 provides.
set(runtime_headers cassert cctype cerrno cfloat climits cmath csetjmp csignal cstddef cstdint
    cstdio cstdlib cstring ctime cwchar cwctype new)

set(cxx_lib_dir "")
foreach(dir ${CXX_INCLUDE_DIRS})
  if(EXISTS "${dir}/new" AND EXISTS "${dir}/vector")
    set(cxx_lib_dir "${dir}")
    break()
  endif()
endforeach()
if(NOT cxx_lib_dir)
  message(FATAL_ERROR "cannot find the C++ library headers among ${CXX_INCLUDE_DIRS}")
endif()
set(guard_dir "${WORK_DIR}/cxx_runtime_guard")
file(REMOVE_RECURSE "${guard_dir}")
file(GLOB headers RELATIVE "${cxx_lib_dir}" "${cxx_lib_dir}/*")
foreach(h ${headers})
  # C headers (stdlib.h, math.h ...) stay; so do the runtime's own.
  if(IS_DIRECTORY "${cxx_lib_dir}/${h}" OR h MATCHES "\\.h$" OR h IN_LIST runtime_headers)
    continue()
  endif()
  file(WRITE "${guard_dir}/${h}"
    "#error \"<${h}> is not in the platform's C++ runtime (API level 22): use the C library "
    "(and the compiler's __atomic builtins) in program code\"\n")
endforeach()

set(include_flags "-I${guard_dir}")
foreach(dir ${EXTRA_INCLUDES})
  list(APPEND include_flags "-I${dir}")
endforeach()
set(failed "")
set(count 0)
foreach(prog ${PROGRAMS})
  program_sources("${SOURCE_DIR}" ${prog} srcs)
  foreach(src ${srcs})
    if(src MATCHES "\\.c$")
      set(lang_flags ${c_flags})
    else()
      set(lang_flags ${cxx_flags})
    endif()
    execute_process(COMMAND ${CXX} ${lang_flags} ${common_flags} ${include_flags}
        -I${SOURCE_DIR}/${prog} -c ${SOURCE_DIR}/${src} -o ${WORK_DIR}/level_check.o
      OUTPUT_VARIABLE out ERROR_VARIABLE out RESULT_VARIABLE rc)
    math(EXPR count "${count} + 1")
    if(NOT rc EQUAL 0)
      string(APPEND failed "${out}")
    endif()
  endforeach()
endforeach()
if(failed)
  message(FATAL_ERROR "${failed}\nProgram code must build in the API-22 platform tree: C++11 with "
    "GNU extensions (-std=gnu++11, warnings as errors, no exceptions or RTTI), and of the C++ "
    "library only the C headers' wrappers and <new>. Rewrite the lines above with plain C "
    "constructs and C library calls.")
endif()
message(STATUS "${count} program sources build as gnu++11 with the platform's C++ runtime")
