# Debian packages, made by "cpack -G DEB" from a build (scripts/package.sh):
#   libzu0     libzu.so.0 and the modules it opens (libzu-js.so, libzu-udt.so)
#   libzu-dev  the headers, the libzu.so link, the CMake package and zu.pc
#   zuserve    the server, its configuration in /etc/zuserve and a systemd unit
#   sndconv    the sound converter
# The version is the project's (project() in CMakeLists.txt); nothing else
# states it. A Windows build makes a zip instead (cmake/packaging_windows.cmake).
if(WIN32)
  include(${CMAKE_CURRENT_LIST_DIR}/packaging_windows.cmake)
  return()
endif()
set(ZU_DEB_DIR ${PROJECT_SOURCE_DIR}/packaging)
set(ZU_DEB_MAINTAINER "zu maintainers <maintainers@users.noreply.c-seed-014f9b58.example>")

# The modules sit in the public library folder beside libzu (that is where
# libzu looks for them), and every shared object there carries a SONAME.
foreach(module ${ZU_MODULES})
  target_link_options(${module} PRIVATE "LINKER:-soname,lib${module}.so")
endforeach()

# Each package carries its copyright file and a change log, as Debian asks.
string(TIMESTAMP ZU_DEB_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
foreach(component libzu0 libzu-dev zuserve sndconv)
  set(log ${PROJECT_BINARY_DIR}/debian/${component}/changelog)
  file(WRITE ${log}
    "${component} (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
    "  * Release ${PROJECT_VERSION}; see CHANGELOG.md of the source tree.\n\n"
    " -- ${ZU_DEB_MAINTAINER}  ${ZU_DEB_DATE}\n")
  execute_process(COMMAND gzip -9nf ${log})
  install(FILES ${log}.gz ${ZU_DEB_DIR}/copyright
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${component} COMPONENT ${component}
    PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endforeach()

# zuserve as a service: its configuration, its site and the unit.
install(FILES ${ZU_DEB_DIR}/zuserve.xml DESTINATION /etc/zuserve COMPONENT zuserve
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/tools/zuserve/site/www ${PROJECT_SOURCE_DIR}/tools/zuserve/site/scripts
  DESTINATION ${CMAKE_INSTALL_DATADIR}/zuserve COMPONENT zuserve
  FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
install(FILES ${ZU_DEB_DIR}/zuserve.service DESTINATION /lib/systemd/system COMPONENT zuserve
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

# The programs' manual pages, with the project's version filled in and
# compressed as Debian installs them.
foreach(program zuserve sndconv)
  set(page ${PROJECT_BINARY_DIR}/debian/man/${program}.1)
  configure_file(${ZU_DEB_DIR}/${program}.1 ${page} @ONLY)
  execute_process(COMMAND gzip -9nf ${page})
  install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${program}
    PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endforeach()

# CPack writes no Multi-Arch field and runs ldconfig from maintainer scripts
# where Debian now uses a trigger; scripts/package.sh mends both: the library
# packages are "same" (installable for several architectures at once), the
# programs "foreign".
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zu)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The zu developers")
set(CPACK_PACKAGE_CONTACT "${ZU_DEB_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL libzu0 libzu-dev zuserve sndconv)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${ZU_DEB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_RELEASE "")
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)

# Dependencies on the system's own libraries are written out rather than
# found by dpkg-shlibdeps: the modules link SpiderMonkey and UDT, and those
# must not become hard dependencies of every program using libzu.
set(ZU_DEB_BASE "libc6 (>= 2.34), libgcc-s1 (>= 3.0), libstdc++6 (>= 12)")
set(ZU_DEB_VERSION_DEP "(= ${PROJECT_VERSION})")

set(CPACK_DEBIAN_LIBZU0_PACKAGE_NAME libzu0)
set(CPACK_DEBIAN_LIBZU0_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIBZU0_PACKAGE_DEPENDS "${ZU_DEB_BASE}")
# Opened on first use by the family that needs them.
set(CPACK_DEBIAN_LIBZU0_PACKAGE_RECOMMENDS "libexpat1, libpcre2-posix3")
set(CPACK_DEBIAN_LIBZU0_PACKAGE_SUGGESTS "libmariadb3, libsqlcipher0, libmozjs-102-0, libudt0")
set(CPACK_DEBIAN_LIBZU0_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_COMPONENT_LIBZU0_DESCRIPTION "general-purpose C++ base library
zu gives C++ programs text and byte values, diagnostics, threads and time,
sockets with a reactor, an HTTP client and server, XML, an embedded
JavaScript engine, MySQL and SQLite connections, ciphers and digests,
configuration and files.

The outside libraries behind XML, regular expressions, the databases,
scripting and UDT are opened on first use; a family whose library is
missing reports so when called.")

set(CPACK_DEBIAN_LIBZU-DEV_PACKAGE_NAME libzu-dev)
set(CPACK_DEBIAN_LIBZU-DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_LIBZU-DEV_PACKAGE_DEPENDS "libzu0 ${ZU_DEB_VERSION_DEP}, libboost-dev (>= 1.74)")
set(CPACK_DEBIAN_LIBZU-DEV_PACKAGE_SHLIBDEPS OFF)
set(CPACK_COMPONENT_LIBZU-DEV_DESCRIPTION "general-purpose C++ base library - development files
zu gives C++ programs text and byte values, diagnostics, threads and time,
sockets with a reactor, an HTTP client and server, XML, an embedded
JavaScript engine, database connections, ciphers and configuration.

This package holds the headers, the CMake package (find_package(zu)) and
the pkg-config file (zu.pc).")

set(CPACK_DEBIAN_ZUSERVE_PACKAGE_NAME zuserve)
set(CPACK_DEBIAN_ZUSERVE_PACKAGE_SECTION httpd)
set(CPACK_DEBIAN_ZUSERVE_PACKAGE_DEPENDS
    "libzu0 ${ZU_DEB_VERSION_DEP}, libmozjs-102-0, libsqlcipher0, ${ZU_DEB_BASE}")
set(CPACK_DEBIAN_ZUSERVE_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_ZUSERVE_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/debian/zuserve/conffiles)
file(WRITE ${PROJECT_BINARY_DIR}/debian/zuserve/conffiles "/etc/zuserve/zuserve.xml\n")
set(CPACK_COMPONENT_ZUSERVE_DESCRIPTION "scripted HTTP application server
zuserve serves static files and answers requests with JavaScript handlers
that reach an SQLite database. It is built on the zu library.

The package installs a systemd unit, zuserve.service, that runs the server
under a dynamic user in a hardened sandbox with its database in
/var/lib/zuserve, configured by /etc/zuserve/zuserve.xml.")

set(CPACK_DEBIAN_SNDCONV_PACKAGE_NAME sndconv)
set(CPACK_DEBIAN_SNDCONV_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_SNDCONV_PACKAGE_SHLIBDEPS ON)
set(CPACK_COMPONENT_SNDCONV_DESCRIPTION "sound file converter
sndconv converts a GSM 6.10, A-law or mu-law sound file to a WAVE file
beside it and prints whether it succeeded.")

include(CPack)
