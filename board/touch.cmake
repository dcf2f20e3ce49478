# Touch controller model behind /dev/morlan_touch.
add_library(board_touch STATIC ${CMAKE_CURRENT_LIST_DIR}/touch_controller.cpp)
project_defaults(board_touch)
target_include_directories(board_touch PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(board_touch PUBLIC testbed_events)
