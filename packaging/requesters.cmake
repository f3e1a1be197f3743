# The requesters' packages beside tolvane, one per CPack component: a requester's host needs
# neither the daemon nor its libraries. Everything installed without a component is tolvane's.
#   libtolvane-client0    client      the shared library
#   libtolvane-client-dev client-dev  header, .so link, pkg-config file, CMake package
#   python3-tolvane       python      the Python package
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL Unspecified client client-dev python)
set(CPACK_DEBIAN_UNSPECIFIED_PACKAGE_NAME tolvane)
set(CPACK_DEBIAN_CLIENT_PACKAGE_NAME libtolvane-client${TOLVANE_CLIENT_SOVERSION})
set(CPACK_DEBIAN_CLIENT-DEV_PACKAGE_NAME libtolvane-client-dev)
set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-tolvane)

set(CPACK_DEBIAN_CLIENT_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_CLIENT_DESCRIPTION "tolvane requester library (C++)\n\
libtolvane-client sends requests to a tolvane daemon through its RabbitMQ broker\n\
and returns their replies: calls waited for or futures, many in flight over one\n\
connection, time limits, and failures that say what went wrong.")
set(CPACK_DEBIAN_CLIENT_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_CLIENT_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_SOURCE_DIR}/debian/triggers)

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
