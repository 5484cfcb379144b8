# The registry: Win32 rules, a store it cannot use, several processes,
# notifications, `cectl reg` with .reg import and export, and `cectl init`
# applying the components' declarations (run as the built program).
ce_add_test(registry_test
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/registry_api_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/registry_process_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/registry_cectl_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/registry_regfile_test.cpp
  LIBS SQLite::SQLite3)
add_dependencies(registry_test cectl)

