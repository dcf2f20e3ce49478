# The board's programs and their device sources, for the checks of the device build files
# (included by scripts run with cmake -P). A program's device sources are the C and C++ files
# of its directory, except host-only stand-ins.
set(PROGRAMS lumend sensorflash coprocflash)
# Debian's libcutils lacks klog_write; the device links the platform's libcutils instead.
set(HOST_ONLY_SOURCES lumend/klog_compat.c)

# program_sources(<tree> <program> <out-var>): paths relative to <tree>, sorted; empty while
# the program is not in the tree.
function(program_sources tree prog out)
  file(GLOB srcs RELATIVE "${tree}" "${tree}/${prog}/*.cpp" "${tree}/${prog}/*.c")
  if(srcs)
    list(REMOVE_ITEM srcs ${HOST_ONLY_SOURCES})
    list(SORT srcs)
  endif()
  set(${out} "${srcs}" PARENT_SCOPE)
endfunction()

# compare_sources(<tree> <build file> <program> <listed sources> <errors-var>): appends to
# <errors-var> a line for each listed source that is missing or no device source of the
# program, and for each device source of the program that is not listed.
function(compare_sources tree build_file prog listed errors_var)
  program_sources("${tree}" ${prog} present)
  set(errors "${${errors_var}}")
  foreach(src ${listed})
    if(NOT EXISTS "${tree}/${src}")
      string(APPEND errors "${build_file} lists ${src}, which does not exist: correct or remove it\n")
    elseif(NOT src IN_LIST present)
      string(APPEND errors "${build_file} lists ${src} for ${prog}, which is not one of its device sources\n")
    endif()
  endforeach()
  foreach(src ${present})
    if(NOT src IN_LIST listed)
      string(APPEND errors "${src} is not listed in ${build_file}: add it to the ${prog} module\n")
    endif()
  endforeach()
  set(${errors_var} "${errors}" PARENT_SCOPE)
endfunction()
