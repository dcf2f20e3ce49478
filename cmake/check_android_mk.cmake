# Run as a test (cmake -P): reads Android.mk with make as a tree of API level 22 would (GNU make
# for its warnings of undefined variables, then ckati, the platform's own make, which must read
# the same modules),
# against stand-ins for the build system's $(CLEAR_VARS), $(BUILD_EXECUTABLE) and my-dir that
# record each module's variables, then checks that it declares exactly the programs of the
# tree, each with all its device sources (and only existing ones), its platform libraries and
# the device flags.
# Usage: cmake -DSOURCE_DIR=<tree> -DWORK_DIR=<scratch dir> -DKATI=<ckati> -P check_android_mk.cmake
cmake_minimum_required(VERSION 3.22)
include(${CMAKE_CURRENT_LIST_DIR}/program_sources.cmake)

# Libraries beyond libc, and the flags every module needs (C flags, then C++ only flags).
set(libs_lumend libcutils liblog)
set(libs_sensorflash "")
set(libs_coprocflash "")
set(required_CFLAGS -Os -Werror)
set(required_CPPFLAGS -std=gnu++11 -fno-exceptions -fno-rtti)
# Module variables that the build system of the API-22 generation reads for a native
# executable. Any other LOCAL_ name is taken for a typo; add a real one here if a module
# comes to need it.
set(known_vars LOCAL_PATH LOCAL_MODULE LOCAL_MODULE_TAGS LOCAL_MODULE_PATH LOCAL_MODULE_STEM
    LOCAL_MODULE_CLASS LOCAL_MULTILIB LOCAL_32_BIT_ONLY LOCAL_SRC_FILES LOCAL_C_INCLUDES
    LOCAL_CFLAGS LOCAL_CONLYFLAGS LOCAL_CPPFLAGS LOCAL_LDFLAGS LOCAL_LDLIBS
    LOCAL_SHARED_LIBRARIES LOCAL_STATIC_LIBRARIES LOCAL_WHOLE_STATIC_LIBRARIES
    LOCAL_CPP_EXTENSION LOCAL_ARM_MODE LOCAL_CLANG LOCAL_STRIP_MODULE LOCAL_REQUIRED_MODULES
    LOCAL_FORCE_STATIC_EXECUTABLE)

string(REPLACE ";" " " known "${known_vars}")
list(REMOVE_ITEM known_vars LOCAL_PATH)  # $(CLEAR_VARS) keeps LOCAL_PATH
string(REPLACE ";" " " cleared "${known_vars}")
file(MAKE_DIRECTORY "${WORK_DIR}")
file(WRITE "${WORK_DIR}/clear_vars.mk" "$(foreach v,${cleared},$(eval $(v) :=))\n")
# One line per module: name|path|sources|libraries|C flags|C++ flags|install path|unknown names
file(WRITE "${WORK_DIR}/build_executable.mk"
  "$(info module|$(LOCAL_MODULE)|$(LOCAL_PATH)|$(LOCAL_SRC_FILES)"
  "|$(LOCAL_SHARED_LIBRARIES) $(LOCAL_STATIC_LIBRARIES) $(LOCAL_WHOLE_STATIC_LIBRARIES) $(LOCAL_LDLIBS)"
  "|$(LOCAL_CFLAGS)|$(LOCAL_CPPFLAGS)|$(LOCAL_MODULE_PATH)"
  "|$(foreach v,$(filter LOCAL_%,$(.VARIABLES)),$(if $(filter file,$(origin $(v))),$(filter-out ${known},$(v)))))\n")
file(WRITE "${WORK_DIR}/platform.mk"
  "recorded: ;\n"
  "my-dir = $(patsubst %/,%,$(dir $(lastword $(MAKEFILE_LIST))))\n"
  "PLATFORM_SDK_VERSION := 22\n"
  "CLEAR_VARS := ${WORK_DIR}/clear_vars.mk\n"
  "BUILD_EXECUTABLE := ${WORK_DIR}/build_executable.mk\n"
  "include ${SOURCE_DIR}/Android.mk\n")
execute_process(COMMAND make --no-print-directory --warn-undefined-variables -f "${WORK_DIR}/platform.mk"
  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR err MATCHES "warning")
  message(FATAL_ERROR "make cannot read Android.mk cleanly (a misspelled variable or include?):\n${err}")
endif()

string(REGEX MATCHALL "module\\|[^\n]*" records "${out}")
if(NOT KATI)
  message(FATAL_ERROR "ckati not found: install the Debian package ckati (scripts/install-deps.sh)")
endif()
execute_process(COMMAND "${KATI}" -f "${WORK_DIR}/platform.mk"
  OUTPUT_VARIABLE kati_out ERROR_VARIABLE kati_err RESULT_VARIABLE rc)
string(REGEX MATCHALL "module\\|[^\n]*" kati_records "${kati_out}")
string(REGEX REPLACE "[ \t]+" " " kati_records "${kati_records}")
string(REGEX REPLACE "[ \t]+" " " make_records "${records}")
if(NOT rc EQUAL 0 OR NOT kati_records STREQUAL make_records)
  message(FATAL_ERROR "ckati, the platform's make, reads Android.mk otherwise than GNU make:\n"
                      "${kati_err}ckati:\n${kati_out}\nGNU make:\n${out}")
endif()

set(errors "")
set(declared "")
foreach(rec ${records})
  string(REPLACE "|" ";" values "${rec}")
  list(POP_FRONT values)
  foreach(field name path srcs libs CFLAGS CPPFLAGS module_path unknown)
    list(POP_FRONT values v)
    string(STRIP "${v}" v)
    string(REGEX REPLACE "[ \t]+" ";" ${field} "${v}")
  endforeach()
  if(unknown)
    string(APPEND errors "module ${name} sets ${unknown}, which the platform build does not read (typo?)\n")
  endif()
  if(NOT name IN_LIST PROGRAMS)
    string(APPEND errors "Android.mk declares module '${name}', which is none of the programs ${PROGRAMS}\n")
    continue()
  elseif(name IN_LIST declared)
    string(APPEND errors "Android.mk declares ${name} twice\n")
  endif()
  list(APPEND declared ${name})
  if(NOT path STREQUAL SOURCE_DIR)
    string(APPEND errors "${name}: LOCAL_PATH is '${path}', not $(call my-dir)\n")
  endif()
  compare_sources("${SOURCE_DIR}" Android.mk ${name} "${srcs}" errors)
  list(SORT libs)
  if(NOT "${libs}" STREQUAL "${libs_${name}}")
    string(REPLACE ";" " " libs "${libs}")
    string(REPLACE ";" " " want "${libs_${name}}")
    string(APPEND errors "${name} links '${libs}' in Android.mk; it must link '${want}' beside libc\n")
  endif()
  foreach(kind CFLAGS CPPFLAGS)
    foreach(flag ${required_${kind}})
      if(NOT flag IN_LIST ${kind})
        string(APPEND errors "${name}: ${flag} is missing from LOCAL_${kind}\n")
      endif()
    endforeach()
  endforeach()
  if(module_path)
    string(APPEND errors "${name}: remove LOCAL_MODULE_PATH: the programs belong in the system image's bin, the default\n")
  endif()
endforeach()
foreach(prog ${PROGRAMS})
  program_sources("${SOURCE_DIR}" ${prog} present)
  if(present AND NOT prog IN_LIST declared)
    string(APPEND errors "Android.mk declares no module ${prog} (include $(CLEAR_VARS) ... include $(BUILD_EXECUTABLE))\n")
  endif()
endforeach()
if(errors)
  message(FATAL_ERROR "${errors}")
endif()
message(STATUS "Android.mk declares ${declared} as the tree has them")
