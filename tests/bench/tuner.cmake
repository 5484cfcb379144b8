# Groups per second generated, packed and delivered by the simulated tuner.
ce_add_bench(tuner_bench
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tuner_bench.cpp
  LIBS fmsim_core)
target_include_directories(tuner_bench PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_CURRENT_LIST_DIR}/../unit)
add_dependencies(tuner_bench FMS_API)

# The radio chain: block error rate against SNR, time to the first group,
# CPU time per second of multiplex and of 2.4 MS/s IQ.
ce_add_bench(tuner_radio_bench
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tuner_radio_bench.cpp
  LIBS fmsim_core fmsim_radio)
