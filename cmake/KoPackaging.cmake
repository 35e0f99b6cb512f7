# Debian packages, one per install component (cpack -G DEB, or
# tools/package.sh):
#   dvrcore           the core in ${KO_INSTALL_COREDIR} with its empty plugins/
#                     and protected-plugins/, and the plugin test kit built
#                     for the same target (library, probe plugin, headers and
#                     the CMake package kotestkit)
#   dvrcore-sdk       the plugin SDK (headers and CMake package), for any
#                     architecture
#   dvrcore-examples  the example plugins in the core's plugins/ and the
#                     parent-daemon simulator beside the core; for a
#                     developer's machine, never for a camera
# The architecture is the target's, so a cross build gives arm64 packages.
# dpkg-shlibdeps derives the library dependencies (libc6, libfmt9,
# libstdc++6, libgcc-s1) from the binaries themselves. Who maintains the
# packages and holds the copyright is the integrator's to say at configure
# time (-DKO_PACKAGE_MAINTAINER=..., ...); each package carries the copyright
# file and a Debian-native changelog in /usr/share/doc/<package>/, as Debian's
# checker (lintian) wants.
set(KO_PACKAGE_MAINTAINER "dvrcore developers <dvrcore@example.com>" CACHE STRING
  "Maintainer field of the Debian packages: name <address>")
set(KO_PACKAGE_COPYRIGHT "2026 dvrcore developers" CACHE STRING
  "Copyright holders and years named in the packages' copyright file")
set(KO_PACKAGE_LICENSE "proprietary" CACHE STRING
  "License short name in the packages' copyright file")
set(KO_PACKAGE_LICENSE_TEXT "All rights reserved. No part of this software may be copied, changed or passed on without the copyright holders' written permission."
  CACHE STRING "License text in the packages' copyright file")
set(KO_PACKAGE_DISTRIBUTION "stable" CACHE STRING "Distribution named in the packages' changelog")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME dvrcore)
set(CPACK_PACKAGE_VENDOR "dvrcore")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# No package-wide summary: CPack would put it before each package's own.
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL core sdk examples)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KO_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SOURCE dvrcore)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
  set(ko_deb_arch arm64)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  set(ko_deb_arch amd64)
else()
  set(ko_deb_arch ${CMAKE_SYSTEM_PROCESSOR})
endif()
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${ko_deb_arch})

set(CPACK_DEBIAN_CORE_PACKAGE_NAME dvrcore)
# The first line is the synopsis (under 80 characters), the rest the
# extended description (lines under 80 characters).
set(CPACK_COMPONENT_CORE_DESCRIPTION "core process of the network camera's video recorder
The core loads the camera's plugins from plugins/ and protected-plugins/
beside it and routes events between them. It comes with the plugin test kit
built for the same target.")

set(CPACK_DEBIAN_SDK_PACKAGE_NAME dvrcore-sdk)
set(CPACK_DEBIAN_SDK_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_SDK_PACKAGE_SHLIBDEPS OFF)
set(CPACK_COMPONENT_SDK_DESCRIPTION "plugin SDK of the video recorder's core process
Headers and the CMake package kosdk (find_package(kosdk), ko_add_plugin)
for building plugins of dvrcore.")

set(CPACK_DEBIAN_EXAMPLES_PACKAGE_NAME dvrcore-examples)
set(CPACK_DEBIAN_EXAMPLES_PACKAGE_DEPENDS "dvrcore (= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_EXAMPLES_DESCRIPTION "example plugins and parent simulator for the video recorder's core
Example plugins, installed into the core's plugins/, and the parent-daemon
simulator parent_sim, for a developer's machine. Not for cameras.")

# The same copyright file and changelog in each package's documentation
# directory; gzip -n keeps the changelog free of a timestamp. The changelog's
# date is the build's, or SOURCE_DATE_EPOCH's for a reproducible one.
string(TIMESTAMP ko_changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(ko_doc_dir ${PROJECT_BINARY_DIR}/package-doc)
file(WRITE ${ko_doc_dir}/copyright
  "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
  "Upstream-Name: dvrcore\n"
  "\n"
  "Files: *\n"
  "Copyright: ${KO_PACKAGE_COPYRIGHT}\n"
  "License: ${KO_PACKAGE_LICENSE}\n"
  " ${KO_PACKAGE_LICENSE_TEXT}\n")
file(WRITE ${ko_doc_dir}/changelog
  "dvrcore (${PROJECT_VERSION}) ${KO_PACKAGE_DISTRIBUTION}; urgency=medium\n"
  "\n"
  "  * Release ${PROJECT_VERSION}.\n"
  "\n"
  " -- ${KO_PACKAGE_MAINTAINER}  ${ko_changelog_date}\n")
find_program(KO_GZIP gzip REQUIRED)
execute_process(COMMAND ${KO_GZIP} -9 -n -c ${ko_doc_dir}/changelog OUTPUT_FILE ${ko_doc_dir}/changelog.gz
  COMMAND_ERROR_IS_FATAL ANY)
foreach(ko_component core sdk examples)
  string(TOUPPER ${ko_component} ko_upper)
  install(FILES ${ko_doc_dir}/copyright ${ko_doc_dir}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_${ko_upper}_PACKAGE_NAME}
    PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ COMPONENT ${ko_component})
endforeach()

include(CPack)
