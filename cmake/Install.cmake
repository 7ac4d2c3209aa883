include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# Components, one per Debian package (cmake/Packaging.cmake): "runtime" is
# the shared library by its SONAME, "dev" what a program is built against,
# "tools" the programs (tools/CMakeLists.txt). A plain cmake --install
# installs them all.

if(TARGET QX318_RS485)
  install(TARGETS QX318_RS485 EXPORT QX318_RS485Targets
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
    PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  # The import library for Microsoft's linker (src/windows.cmake), beside the
  # GNU one.
  get_target_property(msvc_import_library QX318_RS485 QX318_MSVC_IMPORT_LIBRARY)
  if(msvc_import_library)
    install(FILES ${msvc_import_library} DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
  endif()
  # The header-only C++ interface sits beside the C header, so that the same
  # target's include path serves both.
  install(FILES ${PROJECT_SOURCE_DIR}/include/qx318.hpp
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
  install(EXPORT QX318_RS485Targets
    NAMESPACE QX318_RS485::
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/QX318_RS485 COMPONENT dev)

  configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/QX318_RS485Config.cmake.in
    ${PROJECT_BINARY_DIR}/QX318_RS485Config.cmake
    INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/QX318_RS485)
  write_basic_package_version_file(${PROJECT_BINARY_DIR}/QX318_RS485ConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
  install(FILES
    ${PROJECT_BINARY_DIR}/QX318_RS485Config.cmake
    ${PROJECT_BINARY_DIR}/QX318_RS485ConfigVersion.cmake
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/QX318_RS485 COMPONENT dev)

  # The .pc file finds the prefix from its own place, so that it stays right
  # when the build is installed elsewhere (cmake --install --prefix).
  if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
    set(QX318_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  else()
    file(RELATIVE_PATH QX318_PC_TO_PREFIX "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
    string(REGEX REPLACE "/$" "" QX318_PC_TO_PREFIX "${QX318_PC_TO_PREFIX}")
    set(QX318_PC_PREFIX "\${pcfiledir}/${QX318_PC_TO_PREFIX}")
  endif()
  configure_file(${PROJECT_SOURCE_DIR}/cmake/QX318_RS485.pc.in
    ${PROJECT_BINARY_DIR}/QX318_RS485.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/QX318_RS485.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
endif()

# The dynamic linker's cache does not know a library installed by hand: in a
# system prefix (/usr/local) programs, pkg-config users and the Python
# package find it only after ldconfig. The packages' trigger does that
# for them (cmake/Packaging.cmake); a plain install says it.
if(TARGET QX318_RS485 AND NOT WIN32)
  install(CODE "
    if(\"\$ENV{DESTDIR}\" STREQUAL \"\")
      message(STATUS \"The shared library is in \${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}: \"
                     \"run ldconfig (as root) for a system prefix, else name the folder in LD_LIBRARY_PATH\")
    endif()" COMPONENT runtime)
endif()
