# Registry operations driven by fuzz bytes against a temporary root.
ce_add_fuzz(registry_fuzz SOURCES ${CMAKE_CURRENT_LIST_DIR}/registry_fuzz.cpp RUNS 3000)
