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
#
# Installed, the declarations go to the same place under the prefix, and the
# files lists name the installed files: a built lib/X is CE_INSTALL_LIBDIR/X,
# a built bin/X is CE_INSTALL_BINDIR/X. A list naming any other built file
# stops the configure, since the installed tree would not have it.
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

  set(destination ${CE_INSTALL_DATADIR}/components)
  if(C_REG)
    install(FILES ${C_REG} DESTINATION ${destination} RENAME ${C_ORDER}-${name}.reg)
  endif()
  if(C_FILES)
    file(READ ${C_FILES} text)
    # Every built file: the first word of a line that is not a comment.
    string(REGEX MATCHALL "\n[ \t]*[^; \t\r\n][^ \t\r\n]*" built "\n${text}")
    foreach(entry ${built})
      string(STRIP "${entry}" entry)
      if(NOT entry MATCHES "^(bin|lib)/[^/]+$")
        message(FATAL_ERROR "ce_declare_component(${name}): ${C_FILES} names ${entry}; "
                            "only programs (bin/X) and libraries (lib/X) are installed")
      endif()
    endforeach()
    string(REGEX REPLACE "\n([ \t]*)lib/" "\n\\1${CE_INSTALL_LIBDIR}/" text "\n${text}")
    string(REGEX REPLACE "\n([ \t]*)bin/" "\n\\1${CE_INSTALL_BINDIR}/" text "${text}")
    string(SUBSTRING "${text}" 1 -1 text)
    set(installed ${CMAKE_BINARY_DIR}/installed-components/${C_ORDER}-${name}.files)
    file(CONFIGURE OUTPUT ${installed} CONTENT "${text}" @ONLY)
    install(FILES ${installed} DESTINATION ${destination})
  endif()
endfunction()
