# What `cmake --install` puts under its prefix and `cpack` into the Debian package "boardsim":
#   bin/            boardsim, lumend, sensorflash, coprocflash
#   lib/boardsim/   the preloads boardsim gives COMMAND (found beside bin/, testbed/own_files.h)
#                   and the programs' private libraries; armhf/ there: the armhf build's preloads
#   share/man/man1/ boardsim.1.gz
set(BOARDSIM_LIB_DIR lib/boardsim)  # testbed::kInstalledLibDir, seen from bin/

install(TARGETS boardsim lumend sensorflash coprocflash RUNTIME DESTINATION bin)
install(TARGETS testbed_preload testbed_arm testbed_clock testbed_trace LIBRARY DESTINATION ${BOARDSIM_LIB_DIR})
# lumend's stand-in for the platform's klog_write, where the host's libcutils lacks it.
if(TARGET cutils_klog)
  install(TARGETS cutils_klog LIBRARY DESTINATION ${BOARDSIM_LIB_DIR})
  set_property(TARGET lumend APPEND PROPERTY INSTALL_RPATH "$ORIGIN/../${BOARDSIM_LIB_DIR}")
endif()
# The armhf build's copies of boardsim's preloads, for ARM programs under qemu-arm (the armhf
# root still comes from TESTBED_ARM_ROOT or ARMHF_ROOT).
if(ARMHF_E2E)
  foreach(lib testbed_preload testbed_arm testbed_clock testbed_trace)
    install(FILES ${ARMHF_BUILD_DIR}/preload/lib${lib}.so DESTINATION ${BOARDSIM_LIB_DIR}/armhf OPTIONAL)
  endforeach()
endif()
if(BOARDSIM_MAN_PAGE)
  install(FILES ${BOARDSIM_MAN_PAGE} DESTINATION share/man/man1)
endif()

# The Debian package. dpkg-shlibdeps finds the libraries the binaries link (umockdev, GLib,
# liblog, the C and C++ runtimes); umockdev's preload is loaded by name at run time, so its
# package is named by hand, and qemu-user is what ARM programs need.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME boardsim)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Board system software maintainers <sysware@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "simulated indicator board and its system programs")
set(CPACK_PACKAGE_DESCRIPTION "boardsim runs lumend, sensorflash and coprocflash, or an install script that calls them, \
on a simulated board (two LED driver chips, a touch controller, an MCU on a serial line with its GPIO lines) and \
reports what the hardware saw.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS usr/${BOARDSIM_LIB_DIR})
set(CPACK_DEBIAN_PACKAGE_DEPENDS umockdev)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS qemu-user)
include(CPack)
