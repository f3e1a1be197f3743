# The Debian package (cpack -G DEB), meant for a build configured with -DCMAKE_INSTALL_PREFIX=/usr
# and a home outside /usr/local, as scripts/package.sh does (/opt/tolvane).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tolvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(TOLVANE_PACKAGE_CONTACT "tolvane maintainers <maintainers@tolvane.example>" CACHE STRING
    "Maintainer of the Debian package, \"name <address>\"")
set(CPACK_PACKAGE_CONTACT ${TOLVANE_PACKAGE_CONTACT})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "remote function call daemon fed by RabbitMQ")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "tolvane consumes requests from an AMQP 0-9-1 queue, calls the named\n\
function of a plug-in library on a worker thread and publishes the reply.\n\
Also the request client tolvane-call, the libraries with their headers, the\n\
plug-in kit (pkg-config file, CMake package, template) and two sample plug-ins.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_STRIP_FILES ON)
# The home and the unit have absolute destinations, so the staging install goes through DESTDIR.
set(CPACK_SET_DESTDIR ON)

find_program(TOLVANE_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(TOLVANE_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser, librabbitmq4, libcurl4, libssl3, libmicrohttpd12, libsystemd0, libstdc++6, libgcc-s1, libc6")
endif()

# No conffiles: the one file an administrator edits, mq.conf, is rewritten by the daemon too,
# so postinst creates it from the sample and purge removes it.
foreach(script postinst prerm postrm)
  configure_file(debian/${script}.in debian/${script} @ONLY)
  list(APPEND CPACK_DEBIAN_TOLVANE_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_BINARY_DIR}/debian/${script})
endforeach()
list(APPEND CPACK_DEBIAN_TOLVANE_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_SOURCE_DIR}/debian/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# What Debian wants of every package: copyright, a changelog (gzipped; a native version),
# and the lintian overrides, each with its reason.
string(TIMESTAMP TOLVANE_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(debian/changelog.in debian/changelog @ONLY)
add_custom_command(OUTPUT debian/changelog.gz
                   COMMAND gzip -9n -c ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog > debian/changelog.gz
                   DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog)
add_custom_target(deb_changelog ALL DEPENDS debian/changelog.gz)
install(FILES debian/copyright ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
include(requesters.cmake)
install(FILES debian/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
        RENAME tolvane)

include(CPack)
