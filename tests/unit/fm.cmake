# Wavelo FM library tests.

# Reassembly and ageing, on the library's own code.
ce_add_test(fm_rds_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/fm_rds_test.cpp LIBS wavelo_core)

# The fake platform library, in build variants: full, and one lacking an
# entry point each. Placed as libFMS_API.so under test-fms/<variant>/.
function(fm_fake_variant variant)
  set(target fm_fake_fms_${variant})
  add_library(${target} MODULE ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/fm_fake_platform.cpp)
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR}/platform/include)
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME FMS_API
    PREFIX lib
    CXX_VISIBILITY_PRESET hidden
    LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/test-fms/${variant})
  # Unloadable, so that another variant can take its place in one process.
  target_compile_options(${target} PRIVATE $<$<CXX_COMPILER_ID:GNU>:-fno-gnu-unique>)
  if(ARGN)
    target_compile_definitions(${target} PRIVATE ${ARGN})
  endif()
  set(FM_FAKE_TARGETS ${FM_FAKE_TARGETS} ${target} PARENT_SCOPE)
endfunction()
set(FM_FAKE_TARGETS "")
fm_fake_variant(full)
fm_fake_variant(no_audio_enable FM_AudioEnable=FM_AudioEnable_missing)
fm_fake_variant(no_get_current_status FM_GetCurrentStatus=FM_GetCurrentStatus_missing)
fm_fake_variant(no_tune FM_Tune=FM_Tune_missing)

# The exports over the fake; Wavelo is loaded afresh by each test.
ce_add_test(fm_session_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/fm_session_test.cpp LIBS ${CMAKE_DL_LIBS})
target_include_directories(fm_session_test PRIVATE ${CMAKE_SOURCE_DIR}/fmapi)
add_dependencies(fm_session_test wavelo ${FM_FAKE_TARGETS})

# Over the simulated tuner (found beside the program, in ../lib).
if(TARGET FMS_API)
  ce_add_test(fm_tuner_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/fm_tuner_test.cpp LIBS fmsim_core ${CMAKE_DL_LIBS})
  target_include_directories(fm_tuner_test PRIVATE ${CMAKE_SOURCE_DIR}/fmapi ${CMAKE_SOURCE_DIR}/tuner)
  add_dependencies(fm_tuner_test wavelo FMS_API)
endif()
