# Kvor_Switch's shortcut parser.
if(TARGET switch_shortcut)
  ce_add_fuzz(switch_shortcut_fuzz SOURCES ${CMAKE_CURRENT_LIST_DIR}/switch_shortcut_fuzz.cpp
    ${CMAKE_SOURCE_DIR}/switch/shortcut.cpp)
  target_include_directories(switch_shortcut_fuzz PRIVATE ${CMAKE_SOURCE_DIR}/switch)
endif()
