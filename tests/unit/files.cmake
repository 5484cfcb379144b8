# libce files under the device root: path mapping, CreateFileW and friends,
# _wfopen, device names, DeviceIoControl and the serial calls.
ce_add_test(files_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/files_test.cpp)
# The serial tests plug a fake device object into the handle table.
target_include_directories(files_test PRIVATE ${CMAKE_SOURCE_DIR}/platform/kernel)
