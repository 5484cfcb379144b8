# Kvor_Switch's shortcut parser, and the processes and thread snapshots of the platform.
if(TARGET switch_shortcut)
  ce_add_test(switch_shortcut_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/switch_shortcut_test.cpp LIBS switch_shortcut)
endif()
ce_add_test(process_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/process_test.cpp)
