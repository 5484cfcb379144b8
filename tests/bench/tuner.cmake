# Groups per second generated, packed and delivered by the simulated tuner.
ce_add_bench(tuner_bench
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tuner_bench.cpp
  LIBS fmsim_core)
target_include_directories(tuner_bench PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_CURRENT_LIST_DIR}/../unit)
add_dependencies(tuner_bench FMS_API)
