# The control programs' settings store: in-process against the registry of a
# temporary root, and the driver's load and unload through a private cehost
# (the helpers of the device manager's integration tests).
ce_add_test(client_settings_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/client_settings_test.cpp
  LIBS client_settings SQLite::SQLite3
  TIMEOUT 180)
target_include_directories(client_settings_test PRIVATE ${CE_TESTS_DIR}/integration)
add_dependencies(client_settings_test cehost cectl Tervalon wavelo FMS_API)
