# What each component puts into a device root, declared beside its sources:
#
#   ce_declare_component(NAME ORDER NN [REG file.reg] [FILES file.files])
#
# REG holds the component's registry defaults in regedit's .reg form; FILES
# lists built files (relative to the build tree) and the device paths they go
# to. Both are copied to ${CE_COMPONENTS_SUBDIR} in the build tree as
# NN-NAME.reg and NN-NAME.files, where `cectl init` finds them (beside its own
# bin/) and applies them in name order: ORDER (two digits) puts a component
# after those whose keys it builds on. A change to a declaration reconfigures.
set(CE_COMPONENTS_SUBDIR share/tervalon/components)

function(ce_declare_component name)
  cmake_parse_arguments(C "" "ORDER;REG;FILES" "" ${ARGN})
  if(NOT C_ORDER MATCHES "^[0-9][0-9]$")
    message(FATAL_ERROR "ce_declare_component(${name}): ORDER is two digits")
  endif()
  if(NOT C_REG AND NOT C_FILES)
    message(FATAL_ERROR "ce_declare_component(${name}): REG or FILES")
  endif()
  set(out ${CMAKE_BINARY_DIR}/${CE_COMPONENTS_SUBDIR}/${C_ORDER}-${name})
  if(C_REG)
    configure_file(${C_REG} ${out}.reg COPYONLY)
  endif()
  if(C_FILES)
    configure_file(${C_FILES} ${out}.files COPYONLY)
  endif()
endfunction()
