# Cross-building for 32-bit ARM (armhf) with Debian's cross toolchain
# (crossbuild-essential-armhf) and multiarch :armhf libraries; programs of the
# build run under qemu-arm (qemu-user).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm)
set(PKG_CONFIG_EXECUTABLE arm-linux-gnueabihf-pkg-config CACHE FILEPATH "")
set(PIPD_DEB_ARCH armhf CACHE STRING "Debian architecture of the package")
# GCC notes that the ARM calling convention of some parameters changed in
# GCC 7.1: nothing here mixes code of older compilers.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")

# Development packages that Debian cannot install for armhf beside the host's
# (not Multi-Arch: same, such as libmad0-dev) are unpacked into a private
# directory (scripts/deps.sh: pipd_install_cross_deps); their headers come
# before the host's.
set(CMAKE_TRY_COMPILE_PLATFORM_VARIABLES PIPD_CROSS_EXTRA)
if(PIPD_CROSS_EXTRA)
  list(APPEND CMAKE_PREFIX_PATH ${PIPD_CROSS_EXTRA}/usr)
  string(APPEND CMAKE_C_FLAGS_INIT " -isystem ${PIPD_CROSS_EXTRA}/usr/include")
  string(APPEND CMAKE_CXX_FLAGS_INIT " -isystem ${PIPD_CROSS_EXTRA}/usr/include")
  string(APPEND CMAKE_EXE_LINKER_FLAGS_INIT " -L${PIPD_CROSS_EXTRA}/usr/lib/arm-linux-gnueabihf")
  set(ENV{PKG_CONFIG_PATH} "${PIPD_CROSS_EXTRA}/usr/lib/arm-linux-gnueabihf/pkgconfig")
endif()
