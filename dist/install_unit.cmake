# Run by `cmake --install` and by CPack: the user unit, naming the programs
# where this installation puts them. The prefix is only known now (--prefix,
# or the package's /usr), so the unit is made here rather than at configure.
if(IS_ABSOLUTE "${CE_UNIT_BINDIR}")
  set(bindir "${CE_UNIT_BINDIR}")
else()
  set(bindir "${CMAKE_INSTALL_PREFIX}/${CE_UNIT_BINDIR}")
endif()
set(CEHOST "${bindir}/cehost")
set(CECTL "${bindir}/cectl")
configure_file("${CE_UNIT_TEMPLATE}" "${CE_UNIT_STAGE}/tervalon.service" @ONLY)
file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/user" TYPE FILE FILES "${CE_UNIT_STAGE}/tervalon.service")
