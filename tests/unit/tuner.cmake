# The simulated tuner (tuner/): chip behaviour through the entry
# points, recordings, the synthetic broadcaster seen by a real RDS decoder.
pkg_check_modules(V4L2RDS REQUIRED IMPORTED_TARGET libv4l2rds)
pkg_check_modules(SNDFILE REQUIRED IMPORTED_TARGET sndfile)

ce_add_test(tuner_chip_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tuner_chip_test.cpp
  LIBS fmsim_core)
target_include_directories(tuner_chip_test PRIVATE ${CMAKE_CURRENT_LIST_DIR})
add_dependencies(tuner_chip_test FMS_API)

ce_add_test(tuner_rds_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tuner_rds_test.cpp
  LIBS fmsim_core PkgConfig::V4L2RDS)

ce_add_test(tuner_cectl_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tuner_cectl_test.cpp
  LIBS fmsim_core)
add_dependencies(tuner_cectl_test cectl)

# Real radio on the air: an IQ band, a stand-in dongle, an mpx station.
ce_add_test(tuner_real_air_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tuner_real_air_test.cpp
  LIBS fmsim_core
  TIMEOUT 300)
target_include_directories(tuner_real_air_test PRIVATE ${CMAKE_CURRENT_LIST_DIR})
add_dependencies(tuner_real_air_test FMS_API)

# Real radio (tuner/radio): block code, modulator, front end,
# decoder, files (an RF64 one written by libsndfile directly).
ce_add_test(tuner_radio_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tuner_radio_test.cpp
  LIBS fmsim_core fmsim_radio PkgConfig::SNDFILE)
