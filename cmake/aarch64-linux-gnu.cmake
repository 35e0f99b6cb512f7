# Cross build for the target (64-bit Arm Linux) with Debian's cross compiler
# (g++-aarch64-linux-gnu). It suits two setups:
#   - Debian's multiarch arm64 development packages (libfmt-dev:arm64, ...),
#     which live in the host's /usr/include and /usr/lib/aarch64-linux-gnu
#     (tools/install-arm64.sh installs them):
#       cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
#   - a sysroot holding the target's headers and libraries:
#       cmake ... -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake -DCMAKE_SYSROOT=<dir>
# A Yocto or Buildroot build brings its own toolchain file instead (README).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# For stripping release binaries: the host's strip does not know aarch64.
set(CMAKE_STRIP aarch64-linux-gnu-strip CACHE FILEPATH "")

# ctest runs the test programs (and gtest discovery) through qemu-user. Plain
# qemu-aarch64 finds the arm64 loader and libraries where multiarch put them;
# pointing it at a sysroot with -L instead makes the core's own children hang.
find_program(KO_QEMU_AARCH64 qemu-aarch64)
if(KO_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KO_QEMU_AARCH64})
endif()

# Programs come from the host; pkg-config (whose hints some find modules
# prefer) must offer the target's packages, never the host's. Variables the
# caller set (a Yocto SDK's environment script sets them) are theirs.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
if(CMAKE_SYSROOT)
  # Headers, libraries and packages come from the sysroot only, even where
  # the host has the same file.
  set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
  set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
  set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
  if(NOT DEFINED ENV{PKG_CONFIG_SYSROOT_DIR})
    set(ENV{PKG_CONFIG_SYSROOT_DIR} ${CMAKE_SYSROOT})
  endif()
  if(NOT DEFINED ENV{PKG_CONFIG_LIBDIR})
    set(ENV{PKG_CONFIG_LIBDIR}
      ${CMAKE_SYSROOT}/usr/lib/aarch64-linux-gnu/pkgconfig:${CMAKE_SYSROOT}/usr/lib/pkgconfig:${CMAKE_SYSROOT}/usr/share/pkgconfig)
  endif()
elseif(NOT DEFINED ENV{PKG_CONFIG_LIBDIR})
  set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
endif()
