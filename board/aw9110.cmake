# AW9110 LED driver chip model and the LED timeline picture.
add_library(board_aw9110 STATIC aw9110_chip.cpp led_timeline_svg.cpp)
project_defaults(board_aw9110)
target_include_directories(board_aw9110 PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(board_aw9110 PUBLIC testbed_events)
