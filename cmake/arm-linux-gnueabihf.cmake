# Cross build for the reader's 32-bit ARM Linux (armhf) with Debian's cross
# toolchain (crossbuild-essential-armhf) and the armhf multiarch packages of
# the libraries (libxml2-dev:armhf, libgtest-dev:armhf). scripts/setup.sh armhf
# installs all of it.
#
# Target programs run under qemu-user: ctest, gtest discovery and the tests
# that start a target program themselves prefix it with
# CMAKE_CROSSCOMPILING_EMULATOR, so no binfmt_misc registration is needed.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(KORVANE_CROSS_TRIPLET arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${KORVANE_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${KORVANE_CROSS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${KORVANE_CROSS_TRIPLET})
# GCC notes on every std::vector instantiation that the argument passing of
# such types changed in GCC 7.1; nothing here links code built before that.
set(CMAKE_C_FLAGS_INIT "-Wno-psabi")
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")

# The armhf libraries live in the multiarch directories (/usr/lib/<triplet>,
# /usr/include/<triplet>), which the cross compiler and CMake's searches use
# through CMAKE_LIBRARY_ARCHITECTURE; the build machine's own libraries are in
# the x86_64 ones, which are not searched.

# pkg-config reads the armhf .pc files and never the build machine's.
set(ENV{PKG_CONFIG_LIBDIR}
    "/usr/lib/${KORVANE_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# The armhf loader and C library that qemu-arm runs come from libc6:armhf,
# which libxml2:armhf pulls in, at the standard multiarch paths. No -L prefix
# is given: with -L /usr/${KORVANE_CROSS_TRIPLET} qemu takes the cross
# toolchain's loader while that loader still picks the multiarch libc.so.6
# through the system library cache, mixing two builds of the C library.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-arm)
