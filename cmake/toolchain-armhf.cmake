# 32-bit ARM (Debian armhf): Debian's cross compiler, the armhf libraries installed beside the build
# machine's by multiarch, and qemu-user to run what the build makes. scripts/test-armhf installs all of it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
# Multiarch: libraries and their CMake packages are looked for under lib/arm-linux-gnueabihf only.
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
# GCC notes that the passing of some arguments changed in GCC 7.1; everything here is built by one compiler.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)

# Development files that Debian 12 does not ship multiarch (libyaml-cpp-dev), unpacked by scripts/test-armhf.
set(VADID_ARMHF_ROOT /opt/vadid-armhf-root CACHE PATH "Unpacked armhf development packages that are not multiarch")

# pkg-config answers from the target's .pc files only.
set(ENV{PKG_CONFIG_LIBDIR}
    ${VADID_ARMHF_ROOT}/usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

find_program(VADID_QEMU_ARM NAMES qemu-arm-static qemu-arm REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${VADID_QEMU_ARM} -L /usr/arm-linux-gnueabihf)
