# Recording (.spy, .rds) and air-source parsers of the simulated tuner; seeds:
# small recordings and sources, and the RDS recordings when present.
ce_add_fuzz(tuner_recording_fuzz
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tuner_recording_fuzz.cpp
  LIBS fmsim_core
  CAPTURES *.spy)

# The radio chain's readers: multiplex files (libsndfile, raw s16le) and raw
# IQ through the FM front end into the RDS decoder.
ce_add_fuzz(tuner_radio_fuzz
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tuner_radio_fuzz.cpp
  LIBS fmsim_radio
  RUNS 3000)
