# The requesters' packages beside tolvane, one per CPack component: a requester's host needs
# neither the daemon nor its libraries. The package tolvane is the group of what is installed
# without a component and of the plug-in kit.
#   libtolvane-client0    client      the shared library
#   libtolvane-client-dev client-dev  header, .so link, pkg-config file, CMake package
#   python3-tolvane       python      the Python package
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL Unspecified plugin_kit client client-dev python)
set(CPACK_COMPONENT_UNSPECIFIED_GROUP tolvane)
set(CPACK_COMPONENT_PLUGIN_KIT_GROUP tolvane)
set(CPACK_DEBIAN_TOLVANE_PACKAGE_NAME tolvane)
set(CPACK_DEBIAN_CLIENT_PACKAGE_NAME libtolvane-client${TOLVANE_CLIENT_SOVERSION})
set(CPACK_DEBIAN_CLIENT-DEV_PACKAGE_NAME libtolvane-client-dev)
set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-tolvane)

set(CPACK_DEBIAN_CLIENT_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_CLIENT_DESCRIPTION "tolvane requester library (C++)\n\
libtolvane-client sends requests to a tolvane daemon through its RabbitMQ\n\
broker and returns their replies: calls waited for or futures, many in flight\n\
over one connection, time limits, and failures that say what went wrong.")
# The shlibs file is made for every package with a so-named library: this one alone.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
# The ldconfig trigger, as Debian wants; CPack's own postinst and postrm run ldconfig as well
# (see the overrides).
set(CPACK_DEBIAN_CLIENT_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_SOURCE_DIR}/debian/triggers)
install(FILES debian/client/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
        RENAME ${CPACK_DEBIAN_CLIENT_PACKAGE_NAME} COMPONENT client)

set(CPACK_DEBIAN_CLIENT-DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_CLIENT-DEV_DESCRIPTION "tolvane requester library (C++): development files\n\
The header tolvane/client.h, the pkg-config file tolvane-client and the CMake\n\
package tolvane-client (target tolvane::client) of libtolvane-client.")
set(CPACK_DEBIAN_CLIENT-DEV_PACKAGE_DEPENDS
    "${CPACK_DEBIAN_CLIENT_PACKAGE_NAME} (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_CLIENT-DEV_PACKAGE_SHLIBDEPS OFF)

set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_DESCRIPTION "tolvane requester package (Python 3)\n\
The module tolvane sends requests to a tolvane daemon through its RabbitMQ\n\
broker: tolvane.Client on pika, tolvane.AsyncClient on aio-pika.")
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3:any, python3-pika")
set(CPACK_DEBIAN_PYTHON_PACKAGE_SUGGESTS "python3-aio-pika")
set(CPACK_DEBIAN_PYTHON_PACKAGE_SHLIBDEPS OFF)

# Debian wants copyright and changelog in every package's own doc folder.
foreach(component client client-dev python)
  string(TOUPPER ${component} upper)
  install(FILES debian/copyright ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${CPACK_DEBIAN_${upper}_PACKAGE_NAME}
          COMPONENT ${component})
endforeach()
