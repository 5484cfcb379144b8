# The control programs' idle cost.
if(TARGET KvorClientSP AND TARGET KvorClient)
  ce_add_bench(client_idle_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/client_idle_bench.cpp)
  add_dependencies(client_idle_bench KvorClientSP KvorClient cehost cectl Tervalon wavelo FMS_API)
endif()
