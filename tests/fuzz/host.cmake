# The device manager's RPC frame parser, from streams of real frames made by
# the protocol's own encoder.
set(host_rpc_made)
foreach(kind devices windows replies)
  ce_fuzz_made_seed(host_rpc_made host_rpc_fuzz ${kind}.frames rpc-${kind})
endforeach()
ce_add_fuzz(host_rpc_fuzz SOURCES ${CMAKE_CURRENT_LIST_DIR}/host_rpc_fuzz.cpp MADE ${host_rpc_made})
target_include_directories(host_rpc_fuzz PRIVATE ${CMAKE_SOURCE_DIR}/host/protocol)
# The NMEA log reader of GPD0:'s replay source; seeds: small logs and the
# recorded GPS log when present.
ce_add_fuzz(host_nmea_fuzz
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/host_nmea_fuzz.cpp ${CMAKE_SOURCE_DIR}/host/server/nmea.cpp
  CAPTURES *.nmea)
target_include_directories(host_nmea_fuzz PRIVATE ${CMAKE_SOURCE_DIR}/host/server)
