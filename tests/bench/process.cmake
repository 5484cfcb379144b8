# The toolhelp thread snapshot.
ce_add_bench(toolhelp_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/toolhelp_bench.cpp)
