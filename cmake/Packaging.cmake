# Debian packages from the install rules' components, built with CPack's DEB
# generator (scripts/debian-packages.sh):
#   libqx318-rs485-1    the shared library by its SONAME (component runtime)
#   libqx318-rs485-dev  headers, pkg-config file, CMake package, .so link (dev)
#   qx318-tools         qx318, qx318-sim, their manual pages, bash completion
#                       (tools)
# Each carries the licence as /usr/share/doc/PACKAGE/copyright and a Debian
# changelog; dependencies on other packages come from dpkg-shlibdeps.
if(WIN32 OR NOT QX318_PLATFORM STREQUAL "posix")
  return()
endif()

option(QX318_DEBIAN_DOCS
       "Install each Debian package's copyright and changelog under share/doc (the packages' build)"
       OFF)

set(QX318_DEB_RUNTIME libqx318-rs485-${PROJECT_VERSION_MAJOR})
set(QX318_DEB_DEV libqx318-rs485-dev)
set(QX318_DEB_TOOLS qx318-tools)
set(QX318_DEB_MAINTAINER "QX318_RS485 developers <qx318-rs485@example.org>")

if(QX318_DEBIAN_DOCS)
  # A Debian changelog: these are native packages, so changelog.gz; the
  # project's history in full is CHANGELOG.md. Its date is the release's, as
  # CHANGELOG.md gives it, so that two builds of a release are the same.
  file(STRINGS ${PROJECT_SOURCE_DIR}/CHANGELOG.md release_line
       REGEX "^## ${PROJECT_VERSION} \\(([0-9-]+)\\)" LIMIT_COUNT 1)
  if(NOT release_line MATCHES "\\(([0-9-]+)\\)")
    message(FATAL_ERROR "CHANGELOG.md has no entry '## ${PROJECT_VERSION} (YYYY-MM-DD)'")
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/CHANGELOG.md)
  execute_process(COMMAND date -u -R -d "${CMAKE_MATCH_1} 12:00"
                  OUTPUT_VARIABLE release_date OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  set(debian_changelog ${PROJECT_BINARY_DIR}/debian/changelog)
  file(WRITE ${debian_changelog}
       "qx318-rs485 (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
       "  * Release ${PROJECT_VERSION}; what it brings is in CHANGELOG.md of the\n"
       "    sources.\n\n"
       " -- ${QX318_DEB_MAINTAINER}  ${release_date}\n")
  find_program(QX318_GZIP gzip REQUIRED)
  execute_process(COMMAND ${QX318_GZIP} -9nf ${debian_changelog} COMMAND_ERROR_IS_FATAL ANY)
  foreach(component runtime dev tools)
    string(TOUPPER ${component} upper)
    set(package ${QX318_DEB_${upper}})
    install(FILES ${PROJECT_SOURCE_DIR}/LICENSE RENAME copyright
            DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
    install(FILES ${debian_changelog}.gz DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package}
            COMPONENT ${component})
  endforeach()
endif()

set(CPACK_GENERATOR DEB)
# Each package's synopsis is the first line of its own description below,
# not the project's one line shared by all.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
set(CPACK_PACKAGE_NAME qx318-rs485)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "QX318_RS485 developers")
set(CPACK_PACKAGE_CONTACT ${QX318_DEB_MAINTAINER})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev tools)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${QX318_DEB_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SOURCE qx318-rs485)
# The shlibs file names the runtime package for the library's SONAME (the
# one package with a shared library), so that programs built against it
# depend on it through dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/DebianTriggersOnly.cmake)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${QX318_DEB_RUNTIME})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
    "control and read QX318 measuring devices on an RS-485 bus
QX318_RS485 drives QX318 measuring devices on an RS-485 bus through a
USB-to-serial converter, a serial device or a bus served by ser2net, with a
plain C API: hello, parameters, flash, measurements, images and rotation.

This package holds the shared library.")
# The package activates the ldconfig trigger, so that the library is found
# at once after installation and forgotten after removal
# (cmake/DebianTriggersOnly.cmake drops CPack's own ldconfig calls).
set(QX318_DEB_TRIGGERS ${PROJECT_BINARY_DIR}/debian/triggers)
file(WRITE ${QX318_DEB_TRIGGERS} "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${QX318_DEB_TRIGGERS})

set(CPACK_DEBIAN_DEV_PACKAGE_NAME ${QX318_DEB_DEV})
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${QX318_DEB_RUNTIME} (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_DEV_DESCRIPTION
    "control and read QX318 measuring devices on an RS-485 bus (development files)
QX318_RS485 drives QX318 measuring devices on an RS-485 bus through a
USB-to-serial converter, a serial device or a bus served by ser2net, with a
plain C API and a header-only C++ interface.

This package holds the headers, the pkg-config file (QX318_RS485) and the
CMake package (find_package(QX318_RS485)).")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME ${QX318_DEB_TOOLS})
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION
    "command-line tool and bus simulator for QX318 measuring devices
qx318 runs every function of the QX318_RS485 library from a shell, against
devices on an RS-485 bus or a simulated bus, and streams and plots
measurements. qx318-sim serves simulated devices on a pseudo-terminal, with
fault injection and the replay of recorded traces.")

include(CPack)
