# Wavelo: RDS reassembly throughput.
ce_add_bench(fm_rds_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/fm_rds_bench.cpp LIBS wavelo_core)
