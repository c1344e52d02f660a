# Install rules: the shared library, its headers, a CMake package (nel::nel) and
# a pkg-config file.
include(CMakePackageConfigHelpers)

install(TARGETS nel EXPORT nelTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# The installed interface is include/nel/ and nothing else; src/ stays inside.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/nel/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/nel
  FILES_MATCHING PATTERN "*.h")

install(EXPORT nelTargets NAMESPACE nel:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/nel)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/nelConfig.cmake.in
  ${PROJECT_BINARY_DIR}/nelConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/nel)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/nelConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/nelConfig.cmake ${PROJECT_BINARY_DIR}/nelConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/nel)

# The pkg-config file locates the prefix from its own folder, so that an
# installed tree can be moved (or installed with --prefix) and still be found.
file(RELATIVE_PATH NEL_PC_TO_PREFIX "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
configure_file(${PROJECT_SOURCE_DIR}/cmake/nel.pc.in ${PROJECT_BINARY_DIR}/nel.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/nel.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(TARGET nel_c)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/nel_c.pc.in ${PROJECT_BINARY_DIR}/nel_c.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/nel_c.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endif()
