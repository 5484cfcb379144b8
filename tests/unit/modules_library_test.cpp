// The tiny library modules_test loads: built twice, with different tags, so
// a test can tell which copy the search found.
#ifndef CE_TEST_MODULE_TAG
#define CE_TEST_MODULE_TAG "unset"
#endif

extern "C" int ce_test_module_answer() { return 42; }
extern "C" const char* ce_test_module_tag() { return CE_TEST_MODULE_TAG; }
