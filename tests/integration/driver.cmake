# The Tervalon driver through cehost, the simulated tuner and GPD0:.
ce_add_test(driver_e2e_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/driver_e2e_test.cpp TIMEOUT 300)
add_dependencies(driver_e2e_test cehost cectl Tervalon wavelo FMS_API host_port_client)

# A multiplex recording on the air, read from COM9 through cehost.
ce_add_test(air_e2e_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/air_e2e_test.cpp TIMEOUT 300)
add_dependencies(air_e2e_test cehost cectl Tervalon wavelo FMS_API)
