# The device manager's RPC frame parser.
ce_add_fuzz(host_rpc_fuzz SOURCES ${CMAKE_CURRENT_LIST_DIR}/host_rpc_fuzz.cpp)
target_include_directories(host_rpc_fuzz PRIVATE ${CMAKE_SOURCE_DIR}/platform/devices)
