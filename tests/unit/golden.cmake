# Golden transcripts (tests/golden, scripts/golden): synthetic stations and
# the recordings through Wavelo's reassembly and the driver's sentence
# writer, in-process over the fake FM library.
ce_add_test(golden_test
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/driver_fake_fm.cpp
    ${CMAKE_CURRENT_LIST_DIR}/driver_test_env.cpp
    ${CMAKE_CURRENT_LIST_DIR}/golden_test.cpp
  LIBS tervalon_core wavelo_core fmsim_core)
target_include_directories(golden_test PRIVATE ${CMAKE_SOURCE_DIR}/platform/kernel ${CMAKE_CURRENT_LIST_DIR})
target_compile_definitions(golden_test PRIVATE CE_GOLDEN_DIR="${CE_TESTS_DIR}/golden")
