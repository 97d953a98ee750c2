# Cross build for the board: ARMv7-A Cortex-A5, NEON + VFPv4, hard-float ABI.
# Compiler from Debian's crossbuild-essential-armhf; libraries (Paho MQTT C,
# json-c) from Debian's armhf multiarch packages under /usr/lib/arm-linux-gnueabihf.
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake ...
# Extra flags go in the CFLAGS/CXXFLAGS environment variables, which are added
# to the flags below: -DCMAKE_C_FLAGS=... on the command line replaces them.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(_triplet arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${_triplet}-gcc)
set(CMAKE_CXX_COMPILER ${_triplet}-g++)
set(CMAKE_AR ${_triplet}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${_triplet}-ranlib CACHE FILEPATH "")
set(CMAKE_STRIP ${_triplet}-strip CACHE FILEPATH "")
set(CMAKE_OBJCOPY ${_triplet}-objcopy CACHE FILEPATH "")

set(_cpu_flags "-mcpu=cortex-a5 -mfpu=neon-vfpv4 -mfloat-abi=hard")
set(CMAKE_C_FLAGS_INIT "${_cpu_flags}")
set(CMAKE_CXX_FLAGS_INIT "${_cpu_flags}")
# The board is on a network: full RELRO, as Debian's own armhf packages have.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,-z,relro,-z,now")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-Wl,-z,relro,-z,now")

# Debian multiarch: libraries of this architecture live in
# <prefix>/lib/arm-linux-gnueabihf, headers in /usr/include. Setting the library
# architecture makes find_library/find_package look there (and never in the
# x86-64 directory). The cross C library lives in /usr/arm-linux-gnueabihf.
set(CMAKE_LIBRARY_ARCHITECTURE ${_triplet})
set(CMAKE_FIND_ROOT_PATH /usr/${_triplet} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config: only the armhf .pc files (and arch-independent ones). Without this
# json-c's json-c.pc resolves to the x86-64 library. CMAKE_PREFIX_PATH entries
# (e.g. .deps/armhf/mraa) are still added to PKG_CONFIG_PATH by FindPkgConfig.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${_triplet}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# Lets ctest (and gtest discovery) run cross-built test programs.
find_program(_qemu_arm qemu-arm)
if(_qemu_arm)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${_qemu_arm} -L /usr/${_triplet})
endif()
