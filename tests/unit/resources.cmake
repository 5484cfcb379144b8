# Resources: resources_test.rc compiled by cerc into the test (strings, a
# dialog, a menu and its soft-key bar, RCDATA, a custom type, an icon) and
# read back through the Win32 calls; a library with a script of its own
# (lib/libCeTestResources.so); cerc's messages for broken scripts.
ce_add_test(resources_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/resources_test.cpp LIBS ce_rc)
ce_add_resources(resources_test ${CMAKE_CURRENT_LIST_DIR}/resources_test.rc)
target_compile_definitions(resources_test PRIVATE CE_RC_TEST_DIR="${CMAKE_CURRENT_LIST_DIR}")

add_library(ce_test_resources MODULE)
set_target_properties(ce_test_resources PROPERTIES OUTPUT_NAME CeTestResources)
target_link_libraries(ce_test_resources PRIVATE ce)
ce_add_resources(ce_test_resources ${CMAKE_CURRENT_LIST_DIR}/resources_module.rc)
add_dependencies(resources_test ce_test_resources cerc)
