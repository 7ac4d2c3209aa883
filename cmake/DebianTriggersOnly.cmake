# CPack post-build script (cmake/Packaging.cmake): CPack's DEB generator
# writes a postinst and a postrm that call ldconfig into every package with
# a shared library under /usr/lib. The library package activates dpkg's
# ldconfig trigger instead, which runs ldconfig once per dpkg run, so those
# scripts are taken out again and the package has no maintainer scripts.
find_program(DPKG_DEB dpkg-deb REQUIRED)
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  set(tree ${package}.tree)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND ${DPKG_DEB} -R ${package} ${tree} COMMAND_ERROR_IS_FATAL ANY)
  if(NOT EXISTS ${tree}/DEBIAN/triggers)
    file(REMOVE_RECURSE ${tree})
    continue()
  endif()
  file(STRINGS ${tree}/DEBIAN/triggers triggers)
  if(NOT "activate-noawait ldconfig" IN_LIST triggers)
    message(FATAL_ERROR "${package} has a triggers file without the ldconfig trigger")
  endif()
  foreach(script postinst postrm)
    file(STRINGS ${tree}/DEBIAN/${script} lines)
    list(FILTER lines EXCLUDE REGEX "^(#!/bin/sh|set -e||if \\[ \"\\$1\" = \"(configure|remove)\" \\]; then|[ \t]+ldconfig|fi)$")
    if(lines)
      message(FATAL_ERROR "${package}: ${script} does more than call ldconfig: ${lines}")
    endif()
    file(REMOVE ${tree}/DEBIAN/${script})
  endforeach()
  execute_process(COMMAND ${DPKG_DEB} --root-owner-group -Zgzip -b ${tree} ${package}
                  OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE ${tree})
endforeach()
