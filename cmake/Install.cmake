# Install rules, one component per part a project takes separately:
#
#   library            libpipelinesetup.so.0 (the runtime)
#   library-dev        its headers and the platform's declarations, the .so
#                      link, the CMake package and pipelinesetup.pc
#   fake-platform      the recording fake platform, whole (a test aid only)
#   local-platform     libzebplatform_local.so.0 (the runtime)
#   local-platform-dev its header, the .so link, its targets and .pc
#   agent              the pipeline-agent program
#
# Each platform has its own export set, and the package config loads only the
# components asked for:
#   find_package(pipelinesetup 0.1 CONFIG REQUIRED COMPONENTS library fake-platform)
#   target_link_libraries(agent PRIVATE pipelinesetup::pipelinesetup)
#   target_link_libraries(agent_tests PRIVATE pipelinesetup::zebplatform_fake)
include(CMakePackageConfigHelpers)

# The Debian package each component goes into (cmake/Packaging.cmake).
# Shared-library packages are named after their SONAME, as Debian does
# (libzebplatform_local.so.0: libzebplatform-local0); the fake is a test aid
# that no production host runs, so it is one development package.
set(PIPELINESETUP_DEB_LIBRARY libpipelinesetup${PROJECT_VERSION_MAJOR})
set(PIPELINESETUP_DEB_LIBRARY_DEV libpipelinesetup-dev)
set(PIPELINESETUP_DEB_FAKE_PLATFORM libpipelinesetup-fake-dev)
set(PIPELINESETUP_DEB_LOCAL_PLATFORM libzebplatform-local${PROJECT_VERSION_MAJOR})
set(PIPELINESETUP_DEB_LOCAL_PLATFORM_DEV libzebplatform-local-dev)
set(PIPELINESETUP_DEB_AGENT pipeline-agent)

set(PIPELINESETUP_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/pipelinesetup)
set(PIPELINESETUP_INCLUDE_DIR ${CMAKE_INSTALL_INCLUDEDIR}/pipelinesetup)
set(PIPELINESETUP_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(TARGETS pipelinesetup zebplatform_headers
  EXPORT pipelinesetup-library-targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library
    NAMELINK_COMPONENT library-dev
  FILE_SET HEADERS DESTINATION ${PIPELINESETUP_INCLUDE_DIR} COMPONENT library-dev
  FILE_SET generated_headers DESTINATION ${PIPELINESETUP_INCLUDE_DIR} COMPONENT library-dev)
install(TARGETS zebplatform_fake
  EXPORT pipelinesetup-fake-platform-targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT fake-platform
    NAMELINK_COMPONENT fake-platform
  FILE_SET HEADERS DESTINATION ${PIPELINESETUP_INCLUDE_DIR} COMPONENT fake-platform)
install(TARGETS zebplatform_local
  EXPORT pipelinesetup-local-platform-targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT local-platform
    NAMELINK_COMPONENT local-platform-dev
  FILE_SET HEADERS DESTINATION ${PIPELINESETUP_INCLUDE_DIR} COMPONENT local-platform-dev)

foreach(part library fake-platform local-platform)
  set(component ${part})
  if(part STREQUAL "library" OR part STREQUAL "local-platform")
    set(component ${part}-dev)
  endif()
  install(EXPORT pipelinesetup-${part}-targets
    NAMESPACE pipelinesetup::
    DESTINATION ${PIPELINESETUP_CMAKE_DIR}
    COMPONENT ${component})
endforeach()

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/pipelinesetupConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/pipelinesetupConfig.cmake
  INSTALL_DESTINATION ${PIPELINESETUP_CMAKE_DIR})
# At 0.x a minor release may change the interface: promise only the minor.
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/pipelinesetupConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/pipelinesetupConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/pipelinesetupConfigVersion.cmake
  DESTINATION ${PIPELINESETUP_CMAKE_DIR}
  COMPONENT library-dev)

# pkg-config files, one per exported library, written from the target's own
# name, include destination, compile features and version. They locate the
# prefix from their own folder, so an install moved elsewhere still works.
file(RELATIVE_PATH pipelinesetup_pc_to_prefix
  /root/${PIPELINESETUP_PKGCONFIG_DIR} /root)
string(REGEX REPLACE "/$" "" pipelinesetup_pc_to_prefix "${pipelinesetup_pc_to_prefix}")
function(pipelinesetup_pkgconfig target module description requires component)
  set(PC_TARGET ${target})
  set(PC_NAME ${module})
  set(PC_DESCRIPTION "${description}")
  set(PC_REQUIRES "${requires}")
  configure_file(${CMAKE_CURRENT_FUNCTION_LIST_DIR}/pipelinesetup.pc.in
    ${CMAKE_CURRENT_BINARY_DIR}/pkgconfig/${module}.pc.in @ONLY)
  file(GENERATE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/pkgconfig/${module}.pc
    INPUT ${CMAKE_CURRENT_BINARY_DIR}/pkgconfig/${module}.pc.in
    TARGET ${target})
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/pkgconfig/${module}.pc
    DESTINATION ${PIPELINESETUP_PKGCONFIG_DIR} COMPONENT ${component})
endfunction()
pipelinesetup_pkgconfig(pipelinesetup pipelinesetup
  "Backup and restore pipeline setup on the platform's archive library" "" library-dev)
pipelinesetup_pkgconfig(zebplatform_fake pipelinesetup-fake
  "The recording, fault-injecting fake platform, for tests" "pipelinesetup = ${PROJECT_VERSION}"
  fake-platform)
pipelinesetup_pkgconfig(zebplatform_local pipelinesetup-local
  "The embedded local platform: archive files in a store directory" "pipelinesetup = ${PROJECT_VERSION}"
  local-platform-dev)

# Each Debian package carries the project's copyright file and the Debian
# changelog (compressed as Debian wants it) in its own doc folder.
set(PIPELINESETUP_DEB_RELEASE 1)
set(PIPELINESETUP_DEB_VERSION ${PROJECT_VERSION}-${PIPELINESETUP_DEB_RELEASE})
configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/changelog.in
  ${PROJECT_BINARY_DIR}/debian/changelog @ONLY)
execute_process(COMMAND gzip -9 -n -c ${PROJECT_BINARY_DIR}/debian/changelog
  OUTPUT_FILE ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz
  RESULT_VARIABLE gzip_status)
if(NOT gzip_status EQUAL 0)
  message(FATAL_ERROR "gzip failed on the Debian changelog")
endif()
foreach(component library library-dev fake-platform local-platform local-platform-dev agent)
  string(TOUPPER ${component} upper)
  string(REPLACE "-" "_" upper ${upper})
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/copyright
      ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${PIPELINESETUP_DEB_${upper}}
    COMPONENT ${component})
endforeach()
