# libce system services (OEM text, power requests, wave output) and the cectl
# commands that show their state.
ce_add_test(system_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/system_test.cpp)
add_dependencies(system_test cectl)
