# The Tervalon driver, in-process: its internal functions and entry points
# over a fake FM library and a fake GPS port.
ce_add_test(driver_unit_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/driver_fake_fm.cpp
    ${CMAKE_CURRENT_LIST_DIR}/driver_test_env.cpp
    ${CMAKE_CURRENT_LIST_DIR}/driver_sentences_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/driver_commands_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/driver_port_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/driver_output_queue_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/driver_threads_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/driver_log_test.cpp
  LIBS tervalon_core)
target_include_directories(driver_unit_tests PRIVATE ${CMAKE_SOURCE_DIR}/platform/kernel ${CMAKE_CURRENT_LIST_DIR})
