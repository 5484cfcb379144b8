# GUI tests: the windowing layer and the control programs, in-process on Qt's
# offscreen platform, against private cehosts with the real driver.
find_package(Qt6 REQUIRED COMPONENTS Widgets Test)

function(ce_add_gui_test name)
  cmake_parse_arguments(G "" "" "SOURCES;LIBS;RESOURCES" ${ARGN})
  ce_add_test(${name} TIMEOUT 240
    SOURCES ${G_SOURCES} ${CMAKE_CURRENT_LIST_DIR}/gui_main.cpp
    LIBS ceui Qt6::Test ${G_LIBS}
    ENV "QT_QPA_PLATFORM=offscreen")
  target_include_directories(${name} PRIVATE ${CMAKE_CURRENT_LIST_DIR} ${CE_TESTS_DIR}/integration)
  if(G_RESOURCES)
    ce_add_resources(${name} ${G_RESOURCES})
  endif()
  add_dependencies(${name} cehost cectl)
endfunction()

ce_add_gui_test(ui_layer_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/ui_layer_test.cpp
  RESOURCES ${CMAKE_CURRENT_LIST_DIR}/ui_test.rc)
# It also starts the programs without a display.
foreach(program KvorClient KvorClientSP)
  if(TARGET ${program})
    add_dependencies(ui_layer_test ${program})
  endif()
endforeach()

if(TARGET kvor_client_sp_app)
  ce_add_gui_test(keypad_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/keypad_test.cpp
    LIBS kvor_client_sp_app)
  add_dependencies(keypad_test KvorClientSP Tervalon wavelo FMS_API)
endif()

if(TARGET kvor_client_app)
  ce_add_gui_test(kvor_client_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/kvor_client_test.cpp
    LIBS kvor_client_app)
  add_dependencies(kvor_client_test KvorClient Tervalon wavelo FMS_API)
endif()

# The programs themselves on a real X server (Xvfb, started by the test, which
# skips without it): one screen window each, and what closing it keeps.
find_package(X11)
if(X11_FOUND AND TARGET kvor_client_app AND TARGET kvor_client_sp_app)
  ce_add_test(desktop_test TIMEOUT 240
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/desktop_test.cpp
    LIBS X11::X11)
  target_include_directories(desktop_test PRIVATE ${CE_TESTS_DIR}/integration)
  add_dependencies(desktop_test KvorClient KvorClientSP cehost cectl Tervalon wavelo FMS_API)
endif()
