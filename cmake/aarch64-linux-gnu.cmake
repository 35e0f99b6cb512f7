# Cross build for the target (64-bit Arm Linux) with Debian's cross compiler
# (g++-aarch64-linux-gnu) and the multiarch arm64 development packages
# (libfmt-dev:arm64, libgtest-dev:arm64, ...), which live in the host's
# /usr/include and /usr/lib/aarch64-linux-gnu; tools/run-tests.sh arm64
# installs them.
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
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

# Packages come from the arm64 multiarch directories, programs from the host;
# pkg-config (whose hints some find modules prefer) must not offer the host's.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
