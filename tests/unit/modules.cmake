# libce modules: LoadLibraryW's search, GetProcAddress, FreeLibrary and
# GetModuleFileNameW, over two builds of a tiny library (lib/libCeTestMod.so,
# lib/libCeTestModAlt.so) that differ only in their tag.
add_library(ce_test_module MODULE ${CMAKE_CURRENT_LIST_DIR}/modules_library_test.cpp)
set_target_properties(ce_test_module PROPERTIES OUTPUT_NAME CeTestMod)
target_compile_definitions(ce_test_module PRIVATE CE_TEST_MODULE_TAG="lib")
add_library(ce_test_module_alt MODULE ${CMAKE_CURRENT_LIST_DIR}/modules_library_test.cpp)
set_target_properties(ce_test_module_alt PROPERTIES OUTPUT_NAME CeTestModAlt)
target_compile_definitions(ce_test_module_alt PRIVATE CE_TEST_MODULE_TAG="alt")

ce_add_test(modules_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/modules_test.cpp)
add_dependencies(modules_test ce_test_module ce_test_module_alt)
