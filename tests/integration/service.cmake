# cehost run as a service manager runs it: readiness and stop notices, the
# journal, the driver its settings name loaded at start.
ce_add_test(host_service_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/host_service_test.cpp TIMEOUT 120)
add_dependencies(host_service_test cehost TstDriver)
