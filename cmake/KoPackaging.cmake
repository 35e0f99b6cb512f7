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
# libstdc++6, libgcc-s1) from the binaries themselves.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME dvrcore)
set(CPACK_PACKAGE_VENDOR "dvrcore")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "core process of the network camera's video recorder")
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL core sdk examples)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "dvrcore developers <dvrcore@localhost>")
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
set(CPACK_COMPONENT_CORE_DESCRIPTION
  "Loads the camera's plugins from plugins/ and protected-plugins/ beside it and routes events between them.")

set(CPACK_DEBIAN_SDK_PACKAGE_NAME dvrcore-sdk)
set(CPACK_DEBIAN_SDK_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_SDK_PACKAGE_SHLIBDEPS OFF)
set(CPACK_COMPONENT_SDK_DESCRIPTION
  "Headers and the CMake package kosdk (find_package(kosdk), ko_add_plugin) for building plugins.")

set(CPACK_DEBIAN_EXAMPLES_PACKAGE_NAME dvrcore-examples)
set(CPACK_DEBIAN_EXAMPLES_PACKAGE_DEPENDS "dvrcore (= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_EXAMPLES_DESCRIPTION
  "Example plugins, installed into the core's plugins/, and the parent-daemon simulator parent_sim. Not for cameras.")

include(CPack)
