# libce's trace channels (CE_DEBUG): the line a failing call prints on its
# channel, silence elsewhere, and a real program with and without CE_DEBUG.
ce_add_test(trace_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/trace_test.cpp)
add_dependencies(trace_test cectl)
