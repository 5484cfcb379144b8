# cectl's .reg reader and writer: any input, and what the writer makes of
# what was read must read back the same.
ce_add_fuzz(regfile_fuzz SOURCES ${CMAKE_CURRENT_LIST_DIR}/regfile_fuzz.cpp
  ${CMAKE_SOURCE_DIR}/tools/cectl/regfile.cpp RUNS 20000)
target_include_directories(regfile_fuzz PRIVATE ${CMAKE_SOURCE_DIR}/tools/cectl)
