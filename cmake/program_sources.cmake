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
