# The installed tree: `cmake --install` into a temporary prefix, moved, and
# run from there with nothing of the build tree (tests/integration/install_test.sh).
add_test(NAME install.tree
         COMMAND ${CE_TESTS_DIR}/integration/install_test.sh ${CMAKE_COMMAND} ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR})
set_tests_properties(install.tree PROPERTIES TIMEOUT 300)
