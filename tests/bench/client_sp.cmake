# KvorClientSP's idle cost.
if(TARGET KvorClientSP)
  ce_add_bench(client_sp_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/client_sp_bench.cpp)
  target_include_directories(client_sp_bench PRIVATE ${CMAKE_SOURCE_DIR}/platform/devices)
  add_dependencies(client_sp_bench KvorClientSP cehost)
endif()
