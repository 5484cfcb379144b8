# libce text services: Windows-style formatting, code pages, time formatting,
# 16-bit wide strings.
ce_add_test(text_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/text_test.cpp)
