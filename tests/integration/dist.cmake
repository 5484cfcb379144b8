# The user unit, desktop entries, man pages and bash completion, checked with
# systemd-analyze, desktop-file-validate, man and bash where they are present.
foreach(check unit desktop man completion)
  add_test(NAME dist.${check} COMMAND ${CMAKE_CURRENT_LIST_DIR}/dist_check ${check} ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR})
  set_tests_properties(dist.${check} PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 60)
endforeach()
