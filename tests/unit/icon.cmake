# The desktop's icons: .ico images to PNG (cerc --icon-png), read back by Qt.
find_package(Qt6 QUIET COMPONENTS Gui)
if(TARGET Qt6::Gui)
  ce_add_test(icon_png_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/icon_png_test.cpp LIBS ce_rc Qt6::Gui)
endif()
