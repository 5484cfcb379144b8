# Wavelo: the RDS reassembly under arbitrary bytes in arbitrary pieces.
ce_add_fuzz(fm_rds_fuzz SOURCES ${CMAKE_CURRENT_LIST_DIR}/fm_rds_fuzz.cpp LIBS wavelo_core)
