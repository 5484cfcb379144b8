# The Tervalon driver: in-process latency and sustained rate over the fake FM
# library; round trip and idle cost through cehost.
ce_add_bench(driver_bench
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/driver_bench.cpp ${CMAKE_SOURCE_DIR}/tests/unit/driver_fake_fm.cpp
  LIBS tervalon_core)
target_include_directories(driver_bench PRIVATE ${CMAKE_SOURCE_DIR}/platform/kernel ${CMAKE_SOURCE_DIR}/tests/unit)
add_dependencies(driver_bench cehost cectl Tervalon wavelo FMS_API)
