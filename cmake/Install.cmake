# Installs the library, its headers (with the platform's declarations that
# they need) and the fake platform, and exports them for find_package:
#   find_package(pipelinesetup CONFIG REQUIRED)
#   target_link_libraries(agent PRIVATE pipelinesetup::pipelinesetup)
include(CMakePackageConfigHelpers)

set(PIPELINESETUP_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/pipelinesetup)
set(PIPELINESETUP_INCLUDE_DIR ${CMAKE_INSTALL_INCLUDEDIR}/pipelinesetup)

install(TARGETS pipelinesetup zebplatform_headers zebplatform_fake zebplatform_local
  EXPORT pipelinesetupTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY backup restore
  DESTINATION ${PIPELINESETUP_INCLUDE_DIR}
  FILES_MATCHING PATTERN "*.h")
# The platform's declarations, and the public headers of its two
# implementations; their internal headers stay behind.
install(DIRECTORY platform
  DESTINATION ${PIPELINESETUP_INCLUDE_DIR}
  FILES_MATCHING PATTERN "*.h"
  PATTERN "common" EXCLUDE
  REGEX "/(fake|local)/[^/]*\\.h$" EXCLUDE)
install(FILES platform/fake/FakePlatform.h
  DESTINATION ${PIPELINESETUP_INCLUDE_DIR}/platform/fake)
install(FILES platform/local/LocalPlatform.h
  DESTINATION ${PIPELINESETUP_INCLUDE_DIR}/platform/local)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/generated/PipelineSetupExport.h
  DESTINATION ${PIPELINESETUP_INCLUDE_DIR})

install(EXPORT pipelinesetupTargets
  NAMESPACE pipelinesetup::
  DESTINATION ${PIPELINESETUP_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/pipelinesetupConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/pipelinesetupConfig.cmake
  INSTALL_DESTINATION ${PIPELINESETUP_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/pipelinesetupConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/pipelinesetupConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/pipelinesetupConfigVersion.cmake
  DESTINATION ${PIPELINESETUP_CMAKE_DIR})
