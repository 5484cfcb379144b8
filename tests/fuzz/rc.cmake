# The resource compiler's script reader (cerc). The engine's sources are
# compiled into the target rather than linked from ce_rc, so that libFuzzer
# sees their coverage.
get_target_property(rc_sources ce_rc SOURCES)
get_target_property(rc_dir ce_rc SOURCE_DIR)
list(TRANSFORM rc_sources PREPEND ${rc_dir}/)
ce_add_fuzz(rc_script_fuzz SOURCES ${CMAKE_CURRENT_LIST_DIR}/rc_script_fuzz.cpp ${rc_sources} RUNS 10000)
target_include_directories(rc_script_fuzz PRIVATE ${rc_dir})
# <windows.h> and the rest are the SDK's own headers, as in a build.
target_compile_definitions(rc_script_fuzz PRIVATE CE_SDK_DIR="${CE_SDK_INCLUDE_DIR}")
