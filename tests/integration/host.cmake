# The device manager host: integration tests across processes, with a small
# test stream driver (prefix TST) and a library that is no driver.
add_library(TstDriver MODULE ${CMAKE_CURRENT_LIST_DIR}/tst_driver.cpp)
target_link_libraries(TstDriver PRIVATE ce)
add_library(TstEmpty MODULE ${CMAKE_CURRENT_LIST_DIR}/tst_empty.cpp)
add_executable(host_pty_probe ${CMAKE_CURRENT_LIST_DIR}/pty_probe.c)
# A process with one top-level window, for the window broker's test.
add_executable(host_window_owner ${CMAKE_CURRENT_LIST_DIR}/window_owner.cpp)
target_link_libraries(host_window_owner PRIVATE ce)
target_include_directories(host_window_owner PRIVATE ${CMAKE_SOURCE_DIR}/platform/devices ${CMAKE_SOURCE_DIR}/host/protocol ${CMAKE_SOURCE_DIR}/host/client)
# A client that only waits on a port.
add_executable(host_port_client ${CMAKE_CURRENT_LIST_DIR}/port_client.cpp)
target_link_libraries(host_port_client PRIVATE ce)

foreach(t host_devices_test host_pty_test host_gps_test host_windows_test host_trust_test)
  ce_add_test(${t} SOURCES ${CMAKE_CURRENT_LIST_DIR}/${t}.cpp TIMEOUT 180)
  add_dependencies(${t} cehost cectl TstDriver TstEmpty host_pty_probe host_window_owner)
endforeach()
target_include_directories(host_windows_test PRIVATE ${CMAKE_SOURCE_DIR}/platform/devices ${CMAKE_SOURCE_DIR}/host/protocol ${CMAKE_SOURCE_DIR}/host/client)

# Kvor_Switch, installed into the root by cectl init, launching a stand-in program.
if(TARGET Kvor_Switch)
  ce_add_test(switch_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/switch_test.cpp TIMEOUT 180)
  add_dependencies(switch_test cehost cectl Kvor_Switch Tervalon wavelo FMS_API host_window_owner)
endif()
