# The device manager's RPC frame parser.
ce_add_fuzz(host_rpc_fuzz SOURCES ${CMAKE_CURRENT_LIST_DIR}/host_rpc_fuzz.cpp)
target_include_directories(host_rpc_fuzz PRIVATE ${CMAKE_SOURCE_DIR}/platform/devices)
# The NMEA log reader of GPD0:'s replay source.
ce_add_fuzz(host_nmea_fuzz SOURCES ${CMAKE_CURRENT_LIST_DIR}/host_nmea_fuzz.cpp ${CMAKE_SOURCE_DIR}/platform/host/nmea.cpp)
target_include_directories(host_nmea_fuzz PRIVATE ${CMAKE_SOURCE_DIR}/platform/host)
