# cmake --install: the library, its headers, the CLI and a package config, so that another
# project can do find_package(brindlecap_filtrations) and link brindlecap::filtrations_evaluation.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(BRINDLECAP_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/brindlecap_filtrations)

install(TARGETS filtrations_evaluation EXPORT brindlecap_filtrations_targets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# Only public headers: internal declarations live in *_internal.hpp, which this rule cannot install.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/src/brindlecap
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  FILES_MATCHING PATTERN "*.hpp"
  PATTERN "*_internal.hpp" EXCLUDE)
install(FILES ${PROJECT_BINARY_DIR}/generated/brindlecap/version.hpp DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/brindlecap)
install(EXPORT brindlecap_filtrations_targets
  NAMESPACE brindlecap::
  FILE brindlecap_filtrationsTargets.cmake
  DESTINATION ${BRINDLECAP_CMAKE_DIR})

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/brindlecap_filtrationsConfig.cmake.in
  ${PROJECT_BINARY_DIR}/brindlecap_filtrationsConfig.cmake
  INSTALL_DESTINATION ${BRINDLECAP_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/brindlecap_filtrationsConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMinorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/brindlecap_filtrationsConfig.cmake
  ${PROJECT_BINARY_DIR}/brindlecap_filtrationsConfigVersion.cmake
  DESTINATION ${BRINDLECAP_CMAKE_DIR})
