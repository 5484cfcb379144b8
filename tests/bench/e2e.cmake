# The Tervalon driver end to end through cehost and the simulated tuner:
# latency from the tuner to a client's read, delivery at 100 times the real
# RDS rate, and cehost's idle cost per thread.
ce_add_bench(e2e_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/e2e_bench.cpp)
add_dependencies(e2e_bench cehost cectl Tervalon wavelo FMS_API)
