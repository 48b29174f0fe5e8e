# The version every program reports (the window title, --version of the
# tools) and the Debian package, built by `cpack -G DEB` in a build folder
# configured with TAVELIN_PACKAGE=ON (scripts/package does both).

add_compile_definitions(TAVELIN_VERSION="${PROJECT_VERSION}")

# Members of this group may configure CAN controllers through the installed
# helper tavelin-canlink (platform/pcanbasic), which holds CAP_NET_ADMIN.
set(TAVELIN_GROUP tavelin)

option(TAVELIN_PACKAGE "Lay out the installation for the Debian package" OFF)
if(NOT TAVELIN_PACKAGE)
  return()
endif()
if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr" OR NOT CMAKE_INSTALL_LIBDIR STREQUAL "lib/tavelin")
  message(FATAL_ERROR "TAVELIN_PACKAGE needs -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_INSTALL_LIBDIR=lib/tavelin")
endif()
# The three libraries are the program's own (no stable interface for other
# programs, and libpcanbasic.so must not shadow the adapter maker's library of
# that name in the system folders): they live in /usr/lib/tavelin, found
# through this absolute run path.
set(CMAKE_INSTALL_RPATH "${CMAKE_INSTALL_FULL_LIBDIR}")

set(deb ${CMAKE_CURRENT_LIST_DIR}/../packaging/deb)
# The package's history starts each version with an entry: one for this one.
file(STRINGS ${deb}/changelog top LIMIT_COUNT 1)
if(NOT top MATCHES "^tavelin \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/deb/changelog: its first entry is not for version ${PROJECT_VERSION}")
endif()
set(docdir ${CMAKE_INSTALL_DATADIR}/doc/tavelin)
install(FILES ${deb}/copyright DESTINATION ${docdir})
# Compressed as Debian wants it: gzip -9, no name or time stamp.
set(gzipped)
foreach(f ${deb}/changelog tavelin.1 tavelin-flash.1 tavelin-launch.1 canhub.1 ecusim.1 hx1pack.1)
  get_filename_component(name ${f} NAME)
  if(NOT IS_ABSOLUTE ${f})
    set(f ${CMAKE_CURRENT_LIST_DIR}/../packaging/man/${f})
  endif()
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/deb/${name}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/deb
    COMMAND gzip -9nc ${f} > ${CMAKE_BINARY_DIR}/deb/${name}.gz
    DEPENDS ${f})
  list(APPEND gzipped ${CMAKE_BINARY_DIR}/deb/${name}.gz)
  if(NOT name STREQUAL "changelog")
    install(FILES ${CMAKE_BINARY_DIR}/deb/${name}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endif()
endforeach()
add_custom_target(deb_gzipped ALL DEPENDS ${gzipped})
install(FILES ${CMAKE_BINARY_DIR}/deb/changelog.gz DESTINATION ${docdir})
foreach(script postinst postrm)
  configure_file(${deb}/${script}.in ${CMAKE_BINARY_DIR}/deb/${script} @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                 WORLD_READ WORLD_EXECUTE)
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tavelin)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Tavelin developers <tavelin@example.org>")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "workshop tool that reprograms ECU firmware over CAN")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Tavelin captures an ECU into its bootloader, reads its identification,
checks that an update file fits its hardware and programs the file over
KWP on ISO 15765-2, through a PCAN-USB adapter (SocketCAN) or a socketcand
server.
Members of the group ${TAVELIN_GROUP} may bring a CAN adapter up at the
configured bit rate without further privileges.
The bench tools canhub (a virtual CAN bus), ecusim (a simulated ECU) and
hx1pack (writes update files) are included.")
# Dependencies from the shared libraries the binaries use (dpkg-shlibdeps),
# plus what the maintainer scripts run.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/bin)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser, libcap2-bin")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${CMAKE_BINARY_DIR}/deb/postinst;${CMAKE_BINARY_DIR}/deb/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CMAKE_STRIP ${PROJECT_SOURCE_DIR}/cmake/strip-package CACHE FILEPATH "strip for the package" FORCE)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
