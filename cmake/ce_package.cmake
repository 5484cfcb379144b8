# The Debian package (scripts/package runs cpack): the installed tree under
# /usr, its dependencies read from the binaries by dpkg-shlibdeps.
#
# packaging/changelog is the package's history in Debian's form; its newest
# entry names the version, which must be the project's, and the maintainer.

set(CE_PACKAGING_DIR ${CMAKE_SOURCE_DIR}/packaging)
file(STRINGS ${CE_PACKAGING_DIR}/changelog changelog_top LIMIT_COUNT 1)
if(NOT changelog_top MATCHES "^tervalon \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog: the newest entry is not version ${PROJECT_VERSION}: ${changelog_top}")
endif()
file(STRINGS ${CE_PACKAGING_DIR}/changelog changelog_signer REGEX "^ -- " LIMIT_COUNT 1)
string(REGEX REPLACE "^ -- (.*>)  .*$" "\\1" CE_PACKAGE_MAINTAINER "${changelog_signer}")

# Debian keeps a native package's changelog compressed, without a time stamp
# in the gzip header so that the package is the same from the same sources.
set(CE_CHANGELOG_GZ ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/packaging)
execute_process(COMMAND gzip -9 -n -c ${CE_PACKAGING_DIR}/changelog OUTPUT_FILE ${CE_CHANGELOG_GZ}
                RESULT_VARIABLE gzip_status)
if(NOT gzip_status EQUAL 0)
  message(FATAL_ERROR "packaging: gzip failed on packaging/changelog")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CE_PACKAGING_DIR}/changelog)
install(FILES ${CE_PACKAGING_DIR}/copyright ${CE_CHANGELOG_GZ} DESTINATION ${CE_INSTALL_DOCDIR})
install(FILES ${CE_PACKAGING_DIR}/lintian-overrides DESTINATION share/lintian/overrides RENAME tervalon)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tervalon)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_CONTACT "${CE_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CE_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "RDS-TMC traffic receiver presented as a serial port")
# The synopsis is the summary above; CPack puts the lines below it, a blank
# line between paragraphs.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Tervalon turns an FM radio with RDS into an RDS-TMC traffic receiver and
presents it to navigation software as an ordinary serial port (a
pseudo-terminal), speaking Royaltek text sentences or GNS binary frames,
optionally mixed with a GPS stream.

The package holds the stream driver, the Wavelo FM library, a simulated
tuner that plays RDS recordings or receives from an RTL-SDR dongle, the
device manager host (cehost), the command line (cectl) and the control
programs KvorClient, KvorClientSP and Kvor_Switch.")
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# rtl-sdr's udev rules give the desktop user the dongle; gpsd serves a GPS
# receiver to the GPS source.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "rtl-sdr, gpsd")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_GENERATOR "")
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR}/package)
include(CPack)
