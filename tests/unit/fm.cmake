# Wavelo FM library tests.

# Reassembly and ageing, on the library's own code.
ce_add_test(fm_rds_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/fm_rds_test.cpp LIBS wavelo_core)
