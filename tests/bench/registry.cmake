# Registry latencies: open + query + close, a write, and a notification's
# delivery from another process.
ce_add_bench(registry_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/registry_bench.cpp)
