include(CMakePackageConfigHelpers)

if(SKBUILD)
  # Inside a Python wheel the library sits next to the extension module.
  install(TARGETS background LIBRARY DESTINATION vorizovedavuz NAMELINK_SKIP)
  return()
endif()

install(TARGETS background EXPORT NELMBackgroundTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES background.hpp DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/background)
foreach(dir core storage providers models driver)
  install(DIRECTORY ${dir}/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/background/${dir}
    FILES_MATCHING PATTERN "*.hpp" PATTERN "*.h")
endforeach()

set(BACKGROUND_CONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/NELMBackground)
install(EXPORT NELMBackgroundTargets NAMESPACE NELMBackground::
  DESTINATION ${BACKGROUND_CONFIG_DIR})
configure_package_config_file(cmake/NELMBackgroundConfig.cmake.in
  ${PROJECT_BINARY_DIR}/NELMBackgroundConfig.cmake
  INSTALL_DESTINATION ${BACKGROUND_CONFIG_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/NELMBackgroundConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/NELMBackgroundConfig.cmake
  ${PROJECT_BINARY_DIR}/NELMBackgroundConfigVersion.cmake
  DESTINATION ${BACKGROUND_CONFIG_DIR})
