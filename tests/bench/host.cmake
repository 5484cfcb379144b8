# The device manager host: socket round trip, idle cost, a client's answer under a flood.
ce_add_bench(host_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/host_bench.cpp)
add_dependencies(host_bench cehost cectl TstDriver)
