# libce kernel services: events, waits, the platform clock, threads,
# critical sections, interlocked words, the local heap, last-error.
ce_add_test(kernel_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/kernel_test.cpp)
