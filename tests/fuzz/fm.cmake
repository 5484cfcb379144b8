# Wavelo: the RDS reassembly under arbitrary bytes in arbitrary pieces. Seeds:
# hand-made streams (slips, bad blocks, a change of station) and, when the
# recordings are present, each recording's groups as the tuner's raw stream.
set(fm_rds_made)
if(IS_DIRECTORY ${CE_CAPTURES_DIR})
  file(GLOB fm_rds_recordings CONFIGURE_DEPENDS ${CE_CAPTURES_DIR}/*.spy)
  foreach(spy ${fm_rds_recordings})
    get_filename_component(spy_name ${spy} NAME_WE)
    ce_fuzz_made_seed(fm_rds_made fm_rds_fuzz ${spy_name}.raw rds FROM ${spy})
  endforeach()
endif()
ce_add_fuzz(fm_rds_fuzz SOURCES ${CMAKE_CURRENT_LIST_DIR}/fm_rds_fuzz.cpp LIBS wavelo_core MADE ${fm_rds_made})
