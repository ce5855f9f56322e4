include(CMakePackageConfigHelpers)

if(SKBUILD)
  # Inside a Python wheel the extension is a top-level module, and the library
  # sits in vorizovedavuz.libs/ beside it, where the module's RPATH
  # ($ORIGIN/vorizovedavuz.libs, python/CMakeLists.txt) finds it. Only the
  # file under the soname is installed: a wheel cannot hold symlinks and would
  # carry a second full copy of the library for the versioned name.
  install(FILES $<TARGET_FILE:background>
    DESTINATION vorizovedavuz.libs
    RENAME libnelmbackground.so.${PROJECT_VERSION_MAJOR}
    PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
      WORLD_READ WORLD_EXECUTE)
  return()
endif()

install(TARGETS background EXPORT NELMBackgroundTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES background.hpp DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/background)
foreach(dir core storage providers models driver)
  install(DIRECTORY ${dir}/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/background/${dir}
    FILES_MATCHING PATTERN "*.hpp" PATTERN "*.h"
    # Declarations shared by a subsystem's own sources are not public.
    PATTERN "*_internal.hpp" EXCLUDE)
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
