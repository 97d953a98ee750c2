# Cross build for the board: ARMv7-A Cortex-A5, NEON + VFPv4, hard-float ABI.
# Compiler from Debian's cross toolchain (g++-arm-linux-gnueabihf, with its
# own C and C++ run-time files); the board's libraries (Paho MQTT C, json-c,
# OpenSSL, GoogleTest) and MRAA from the board's sysroot, made of Debian 12's
# armhf packages by scripts/make-sysroot.sh: .deps/armhf/sysroot, or the
# folder AGENT_ARMHF_SYSROOT names (a CMake setting or an environment
# variable). Nothing is taken from the host's own library folders.
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

# The sysroot. try_compile projects read this file again: they get the
# setting passed on.
if(NOT AGENT_ARMHF_SYSROOT)
  if(DEFINED ENV{AGENT_ARMHF_SYSROOT} AND NOT "$ENV{AGENT_ARMHF_SYSROOT}" STREQUAL "")
    set(AGENT_ARMHF_SYSROOT "$ENV{AGENT_ARMHF_SYSROOT}")
  else()
    get_filename_component(AGENT_ARMHF_SYSROOT "${CMAKE_CURRENT_LIST_DIR}/../.deps/armhf/sysroot" ABSOLUTE)
  endif()
endif()
set(AGENT_ARMHF_SYSROOT "${AGENT_ARMHF_SYSROOT}" CACHE PATH "The board's sysroot (scripts/make-sysroot.sh)")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES AGENT_ARMHF_SYSROOT)
# scripts/make-sysroot.sh writes the key last, into a root it then renames
# into place: a root without it is not one to build against.
if(NOT EXISTS "${AGENT_ARMHF_SYSROOT}/.sysroot-key")
  message(FATAL_ERROR "no board sysroot in ${AGENT_ARMHF_SYSROOT}: run scripts/setup-armhf.sh")
endif()
set(CMAKE_SYSROOT "${AGENT_ARMHF_SYSROOT}")

# Debian multiarch: libraries of this architecture live in
# <root>/usr/lib/arm-linux-gnueabihf. Setting the library architecture makes
# find_library/find_package look there; everything is looked for in the
# sysroot only (MRAA is in its /usr/local).
set(CMAKE_LIBRARY_ARCHITECTURE ${_triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config: the sysroot's .pc files alone, their paths taken into it.
set(ENV{PKG_CONFIG_LIBDIR}
    "${CMAKE_SYSROOT}/usr/lib/${_triplet}/pkgconfig:${CMAKE_SYSROOT}/usr/share/pkgconfig:${CMAKE_SYSROOT}/usr/local/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${CMAKE_SYSROOT}")

# Lets ctest (and gtest discovery) run cross-built test programs, with the
# sysroot's libraries.
find_program(_qemu_arm qemu-arm)
if(_qemu_arm)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${_qemu_arm} -L "${CMAKE_SYSROOT}")
endif()
