# The window manager's message queue without a display: libce alone, no Qt.
# Its windows never start a host of their own.
ce_add_test(user_queue_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/user_queue_test.cpp ENV "CE_HOST_AUTOSTART=0")
target_include_directories(user_queue_test PRIVATE ${CMAKE_SOURCE_DIR}/platform/user)
