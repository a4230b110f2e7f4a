# Debian packages from the install components (cmake/Install.cmake):
#   cpack -G DEB   (in a build configured with CMAKE_INSTALL_PREFIX=/usr)
#
#   libpipelinesetup0         library            the runtime shared object
#   libpipelinesetup-dev      library-dev        headers, .so link, CMake package, .pc
#   libpipelinesetup-fake-dev fake-platform      the fake platform, whole, for tests
#   libzebplatform-local0     local-platform     the local platform's runtime
#   libzebplatform-local-dev  local-platform-dev its header, .so link, targets, .pc
#   pipeline-agent            agent              the command-line agent
#
# Run-time dependencies on other packages come from dpkg-shlibdeps; those
# between our own packages are stated here, at the exact version, since the
# development files and the objects must come from the same build.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME pipelinesetup)
set(CPACK_PACKAGE_VENDOR "pipelinesetup maintainers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# Each package's Description is its component's own: the summary line, then
# the text, whose lines CPack indents by one space (lines written indented
# already would come out as verbatim text). An empty project summary keeps
# CPack from putting the project's DESCRIPTION above every one of them.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL library library-dev fake-platform local-platform local-platform-dev)
if(TARGET pipeline-agent)
  list(APPEND CPACK_COMPONENTS_ALL agent)
endif()

set(PIPELINESETUP_DEB_MAINTAINER
  "pipelinesetup maintainers <maintainers@users.noreply.c-seed-7e361aab.example>"
  CACHE STRING "The Maintainer field of the Debian packages")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${PIPELINESETUP_DEB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_RELEASE ${PIPELINESETUP_DEB_RELEASE})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Our own shared objects, for dpkg-shlibdeps to find when it reads the agent
# and the platforms; the dependencies on their packages are explicit below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
  ${PROJECT_BINARY_DIR} ${PROJECT_BINARY_DIR}/platform/local)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY "=")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

set(deb_version ${PIPELINESETUP_DEB_VERSION})

# The packages that hold shared objects in the loader's folders have the
# loader's cache rebuilt by a trigger, as Debian asks.
file(WRITE ${PROJECT_BINARY_DIR}/debian/triggers "activate-noawait ldconfig\n")
foreach(component LIBRARY FAKE-PLATFORM LOCAL-PLATFORM)
  set(CPACK_DEBIAN_${component}_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/debian/triggers)
endforeach()
# CPack names a component's variables after it in upper case, hyphens kept.
macro(pipelinesetup_deb component name section depends summary)
  string(TOUPPER ${component} upper)
  set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${name})
  set(CPACK_DEBIAN_${upper}_PACKAGE_SECTION ${section})
  set(CPACK_DEBIAN_${upper}_PACKAGE_DEPENDS "${depends}")
  set(CPACK_COMPONENT_${upper}_DESCRIPTION "${summary}")
endmacro()

pipelinesetup_deb(library ${PIPELINESETUP_DEB_LIBRARY} libs ""
  "backup and restore pipeline setup library
The shared library that a database backup agent loads to set up the
pipelines and archive files of its backup and restore streams:
BackupPipelineSetup and RestorePipelineSetup. The platform's symbols are
left to the host process.")
pipelinesetup_deb(library-dev ${PIPELINESETUP_DEB_LIBRARY_DEV} libdevel
  "${PIPELINESETUP_DEB_LIBRARY} (= ${deb_version})"
  "backup and restore pipeline setup library - development files
Headers of BackupPipelineSetup, RestorePipelineSetup and the platform's
declarations, the link to the shared object, the CMake package
(find_package(pipelinesetup)) and the pkg-config file pipelinesetup.pc.")
pipelinesetup_deb(fake-platform ${PIPELINESETUP_DEB_FAKE_PLATFORM} libdevel
  "${PIPELINESETUP_DEB_LIBRARY_DEV} (= ${deb_version})"
  "recording, fault-injecting fake platform for pipelinesetup
A stand-in for the whole platform that records every call and answers
as a test scripts it, for the tests of agents built on pipelinesetup. Its
shared object, header, CMake targets and pkg-config file
pipelinesetup-fake.pc.")
pipelinesetup_deb(local-platform ${PIPELINESETUP_DEB_LOCAL_PLATFORM} libs ""
  "embedded local platform for pipelinesetup
The platform's archive library, message channel, archive manager, logging
and settings on one machine: archive files in a store directory with a
SQLite catalog, so that an agent runs standalone.")
pipelinesetup_deb(local-platform-dev ${PIPELINESETUP_DEB_LOCAL_PLATFORM_DEV} libdevel
  "${PIPELINESETUP_DEB_LOCAL_PLATFORM} (= ${deb_version}), ${PIPELINESETUP_DEB_LIBRARY_DEV} (= ${deb_version})"
  "embedded local platform for pipelinesetup - development files
The local platform's header, the link to its shared object, its CMake
targets and the pkg-config file pipelinesetup-local.pc.")
pipelinesetup_deb(agent ${PIPELINESETUP_DEB_AGENT} utils
  "${PIPELINESETUP_DEB_LIBRARY} (= ${deb_version}), ${PIPELINESETUP_DEB_LOCAL_PLATFORM} (= ${deb_version})"
  "command-line backup agent on the local platform
Backs files, directory trees, SQLite databases and the output of a
database's own backup tool up as one set over parallel streams into a
store (a directory, or an S3-compatible object store), and restores a set
whole, one file of it or a stream to standard output, every byte checked,
through pipelinesetup and its embedded local platform. With its manual
page, pipeline-agent(1), and its bash completion.")
# The agent's package is not in Debian: it closes no bug of Debian's tracker
# (cmake/debian/pipeline-agent.lintian-overrides says why).
if(TARGET pipeline-agent)
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/pipeline-agent.lintian-overrides
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
    RENAME ${PIPELINESETUP_DEB_AGENT} COMPONENT agent)
endif()

include(CPack)
