# The device manager's protocol (host/protocol/protocol.h, rpc.h): every
# operation's records through the generated codec, the bytes on the wire,
# the limits, frames on a socket.
ce_add_test(rpc_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/rpc_test.cpp)
target_include_directories(rpc_test PRIVATE ${CMAKE_SOURCE_DIR}/host/protocol)
