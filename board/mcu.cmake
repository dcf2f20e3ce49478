# The simulated MCU board: serial peer on the pty of /dev/ttyS1, sysfs GPIO model, MCU model.
# Free of umockdev: the unit tests use them over a plain pty.
add_library(board_serial_peer STATIC serial_peer.cpp)
add_library(board_sysfs_gpio STATIC sysfs_gpio.cpp)
add_library(board_mcu STATIC mcu_model.cpp mcu_rom_bootloader.cpp)
foreach(lib board_serial_peer board_sysfs_gpio board_mcu)
  project_defaults(${lib})
  target_include_directories(${lib} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(${lib} PUBLIC testbed_events)
endforeach()
target_link_libraries(board_mcu PUBLIC board_serial_peer board_sysfs_gpio)
