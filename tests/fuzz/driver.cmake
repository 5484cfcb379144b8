# COM_Write in both dialects, any bytes, any length up to 64 KiB. The driver's
# sources are compiled into the target so that libFuzzer sees their coverage.
# A longer run by hand: build-asan/bin/driver_write_fuzz -max_len=65537 -max_total_time=600
ce_add_fuzz(driver_write_fuzz
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/driver_write_fuzz.cpp
    ${CMAKE_SOURCE_DIR}/tests/unit/driver_fake_fm.cpp
    ${CMAKE_SOURCE_DIR}/driver/device.cpp
    ${CMAKE_SOURCE_DIR}/driver/port.cpp
    ${CMAKE_SOURCE_DIR}/driver/output_queue.cpp
    ${CMAKE_SOURCE_DIR}/driver/sentences.cpp
    ${CMAKE_SOURCE_DIR}/driver/threads.cpp
    ${CMAKE_SOURCE_DIR}/driver/commands.cpp
    ${CMAKE_SOURCE_DIR}/driver/log.cpp
  RUNS 5000)
target_include_directories(driver_write_fuzz PRIVATE
  ${CMAKE_SOURCE_DIR}/driver ${CMAKE_SOURCE_DIR}/fmapi ${CMAKE_SOURCE_DIR}/platform/kernel
  ${CMAKE_SOURCE_DIR}/tests/unit)
target_link_libraries(driver_write_fuzz PRIVATE tervalon_contract)
