# The installed tree, for `cmake --install build --prefix P` and the package:
#
#   P/bin/                 cectl, cehost, KvorClient, KvorClientSP, Kvor_Switch
#   P/lib/tervalon/        libce, libceui, the driver, Wavelo, the simulated tuner
#   P/share/tervalon/      components/: what `cectl init` puts into a root
#   P/share/doc/tervalon/  README.md, docs/, the package's copyright and changelog
#
# Nothing in it names the build tree or the prefix: programs find the
# libraries through RUNPATH $ORIGIN/../lib/tervalon, and cectl the
# declarations in ../share/tervalon beside its own folder, so the tree works
# wherever it is moved.

set(CE_INSTALL_PROGRAMS cectl cehost KvorClient KvorClientSP Kvor_Switch)
set(CE_INSTALL_LIBRARIES ce ceui Tervalon wavelo FMS_API)
foreach(target ${CE_INSTALL_PROGRAMS} ${CE_INSTALL_LIBRARIES})
  if(NOT TARGET ${target})
    message(FATAL_ERROR "install: the build has no target ${target}")
  endif()
endforeach()

install(TARGETS ${CE_INSTALL_PROGRAMS} RUNTIME DESTINATION ${CE_INSTALL_BINDIR})
# The libraries find one another in their own folder: in the installed tree
# and in a root's \Windows, where `cectl init` copies the driver's.
set_target_properties(${CE_INSTALL_LIBRARIES} PROPERTIES INSTALL_RPATH "$ORIGIN")
install(TARGETS ${CE_INSTALL_LIBRARIES} LIBRARY DESTINATION ${CE_INSTALL_LIBDIR})

install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CE_INSTALL_DOCDIR})
# The same folder as in the source tree, so the README's links hold.
install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs DESTINATION ${CE_INSTALL_DOCDIR})

include(${CMAKE_CURRENT_LIST_DIR}/ce_package.cmake)
