# ce_add_resources(TARGET SCRIPT.rc [INCLUDE_DIRS dir...] [DEFINES NAME[=VALUE]...]
#                  [ICON_PNG SIZE FILE])
#
# Compiles a resource script with cerc at build time and adds the generated
# source to TARGET (a program or a shared library that links libce). The
# module then finds its resources with FindResourceW, LoadStringW and the
# dialog calls. The script is rebuilt when it, cerc, or any header or icon it
# reads changes (cerc writes a dependency file). The script's own folder is
# searched first for #include "..." and icon files, then INCLUDE_DIRS, then the
# SDK's headers (CE_SDK_INCLUDE_DIR), where <windows.h> and the like are found:
# cerc takes their constants from there, as a C++ source does. ICON_PNG also
# exports the script's icon, its SIZE x SIZE image, to FILE as PNG (the
# program's icon for the desktop); the build stops when it has none.
set(CE_SDK_INCLUDE_DIR ${CMAKE_SOURCE_DIR}/platform/include)

function(ce_add_resources target script)
  cmake_parse_arguments(R "" "" "INCLUDE_DIRS;DEFINES;ICON_PNG" ${ARGN})
  get_filename_component(script_abs ${script} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
  get_filename_component(script_name ${script} NAME_WE)
  set(out ${CMAKE_CURRENT_BINARY_DIR}/${target}_${script_name}_rc.cpp)
  set(args)
  foreach(dir ${R_INCLUDE_DIRS})
    get_filename_component(dir_abs ${dir} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
    list(APPEND args -I ${dir_abs})
  endforeach()
  list(APPEND args -I ${CE_SDK_INCLUDE_DIR})
  foreach(def ${R_DEFINES})
    list(APPEND args -D ${def})
  endforeach()
  set(outputs ${out})
  if(R_ICON_PNG)
    list(GET R_ICON_PNG 0 icon_size)
    list(GET R_ICON_PNG 1 icon_file)
    get_filename_component(icon_dir ${icon_file} DIRECTORY)
    file(MAKE_DIRECTORY ${icon_dir})
    list(APPEND args --icon-png ${icon_size} ${icon_file})
    list(APPEND outputs ${icon_file})
  endif()
  add_custom_command(
    OUTPUT ${outputs}
    COMMAND cerc ${args} --depfile ${out}.d -o ${out} ${script_abs}
    DEPENDS ${script_abs} cerc
    DEPFILE ${out}.d
    COMMENT "Compiling resources ${script_name}.rc"
    VERBATIM)
  target_sources(${target} PRIVATE ${out})
  # The generated source needs only ce_resources.h; the target links libce
  # for the registration anyway.
  set_source_files_properties(${out} TARGET_DIRECTORY ${target} PROPERTIES
    INCLUDE_DIRECTORIES ${CE_SDK_INCLUDE_DIR})
endfunction()
