# libce: device path mapping never leaves the root; the formatter keeps its
# overflow rules and agrees with C where the conventions agree.
ce_add_fuzz(libce_path_fuzz SOURCES ${CMAKE_CURRENT_LIST_DIR}/libce_path_fuzz.cpp)
ce_add_fuzz(libce_format_fuzz SOURCES ${CMAKE_CURRENT_LIST_DIR}/libce_format_fuzz.cpp)
