# The plugin SDK: the headers under include/ko/core as the INTERFACE target
# ko::sdk, and their installation as the CMake package "kosdk". Nothing here
# needs the core's own dependencies, so -DKO_SDK_ONLY=ON configures and
# installs the SDK alone.
#
# The package's version is the plugin interface version (KO_ABI_VERSION in
# event.h), not the product's and not a record's `version` word (LoadParms
# carries 4, PluginInfo 3): plugins ask for find_package(kosdk 1) or just
# find_package(kosdk). The product version is kept as kosdk_CORE_VERSION.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/../include/ko/core/event.h ko_abi_line
  REGEX "^#define KO_ABI_VERSION [0-9]+$")
string(REGEX REPLACE "^#define KO_ABI_VERSION " "" KO_SDK_ABI_VERSION "${ko_abi_line}")
if(NOT KO_SDK_ABI_VERSION MATCHES "^[0-9]+$")
  message(FATAL_ERROR "KO_ABI_VERSION not found in include/ko/core/event.h")
endif()

add_library(ko_sdk INTERFACE)
add_library(ko::sdk ALIAS ko_sdk)
target_include_directories(ko_sdk INTERFACE
  $<BUILD_INTERFACE:${CMAKE_CURRENT_LIST_DIR}/../include>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
# event.hpp needs std::string_view; event.h needs _Static_assert.
target_compile_features(ko_sdk INTERFACE cxx_std_17 c_std_11)
set_target_properties(ko_sdk PROPERTIES EXPORT_NAME sdk)

include(${CMAKE_CURRENT_LIST_DIR}/kosdkFunctions.cmake)

# The CMake package lives under share/, not lib/: nothing in it depends on the
# architecture, so one SDK serves every target.
set(KO_SDK_CMAKEDIR ${CMAKE_INSTALL_DATADIR}/cmake/kosdk)
# The test kit's headers install with the kit (testkit/), not here.
install(DIRECTORY ${CMAKE_CURRENT_LIST_DIR}/../include/ko DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT sdk
  PATTERN testkit EXCLUDE)
install(TARGETS ko_sdk EXPORT kosdkTargets COMPONENT sdk)
install(EXPORT kosdkTargets NAMESPACE ko:: DESTINATION ${KO_SDK_CMAKEDIR} COMPONENT sdk)
set(KO_SDK_CORE_VERSION ${PROJECT_VERSION})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/kosdkConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/kosdkConfig.cmake
  INSTALL_DESTINATION ${KO_SDK_CMAKEDIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/kosdkConfigVersion.cmake
  VERSION ${KO_SDK_ABI_VERSION} COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kosdkConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/kosdkConfigVersion.cmake
  ${CMAKE_CURRENT_LIST_DIR}/kosdkFunctions.cmake
  DESTINATION ${KO_SDK_CMAKEDIR} COMPONENT sdk)
