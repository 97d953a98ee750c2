# Debian package of the agent for the board: `cpack -G DEB` in a build folder
# (scripts/build-armhf.sh does it for armhf), which injects this file with
# -DCMAKE_PROJECT_INCLUDE=deploy/cpack.cmake.
#
# Contents: /usr/bin/telemetry-agent (installed by the top level; MRAA is linked
# in statically for armhf), the MRAA platform file (a conffile), the systemd
# unit (with a reading store, its drop-in store.conf), the service user's
# sysusers.d file, the bus nodes' udev rule, the modules-load.d file for
# i2c-dev, the manual page and
# /usr/share/doc/telemetry-agent/{copyright,changelog.gz,README.md}.
include_guard(GLOBAL)

# The package carries MRAA linked in statically, as scripts/build-mraa.sh builds
# it for armhf (the board) and native-static (an x86-64 package from the same
# files, for a look on a PC); other builds get no package rules.
# (This file runs at the end of project(), before the top level defaults
# AGENT_DEPS_TARGET: a cross build names armhf unless told otherwise.)
set(_deps_target "${AGENT_DEPS_TARGET}")
if(NOT _deps_target AND CMAKE_CROSSCOMPILING)
  set(_deps_target armhf)
endif()
if(CMAKE_LIBRARY_ARCHITECTURE STREQUAL "arm-linux-gnueabihf" AND _deps_target STREQUAL "armhf")
  set(_deb_arch armhf)
elseif(CMAKE_LIBRARY_ARCHITECTURE STREQUAL "x86_64-linux-gnu" AND _deps_target STREQUAL "native-static")
  set(_deb_arch amd64)
else()
  return()
endif()

set(_deploy_dir "${CMAKE_CURRENT_LIST_DIR}")
set(_pkg telemetry-agent)
set(_doc_dir share/doc/${_pkg})
set(_gen_dir "${CMAKE_BINARY_DIR}/deploy")
# scripts/build-mraa.sh installs MRAA's licence text beside the library (for
# the board in its sysroot's /usr/local).
if(CMAKE_SYSROOT)
  set(_mraa_prefix "${CMAKE_SYSROOT}/usr/local")
else()
  set(_mraa_prefix "${CMAKE_SOURCE_DIR}/.deps/${_deps_target}/mraa")
endif()
set(_mraa_copying "${_mraa_prefix}/share/doc/mraa/COPYING")

# The packages a fleet builds are its operator's: the default says it is a
# test build's (scripts/devices.py TEST_MAINTAINER warns of it, provisioning
# refuses it for real boards).
include("${CMAKE_CURRENT_LIST_DIR}/../cmake/agent_settings.cmake")
set(AGENT_PACKAGE_MAINTAINER "Test build (no maintainer named) <test-build@example.org>"
    CACHE STRING "Maintainer field of the Debian package: Name <address>, whoever makes and ships it")
agent_check_setting(AGENT_PACKAGE_MAINTAINER maintainer "${AGENT_PACKAGE_MAINTAINER}")

# The changelog's newest entry must name the version being packaged.
file(STRINGS "${_deploy_dir}/debian/changelog" _changelog_head LIMIT_COUNT 1)
if(NOT _changelog_head MATCHES "^${_pkg} \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "deploy/debian/changelog: the first entry must be '${_pkg} (${PROJECT_VERSION})'")
endif()

# copyright: ours, then MRAA's licence (its code is linked into the agent).
if(NOT EXISTS "${_mraa_copying}")
  message(FATAL_ERROR "deploy: ${_mraa_copying} missing: run scripts/build-mraa.sh ${_deps_target}")
endif()
file(READ "${_mraa_copying}" _mraa_licence)
string(REGEX REPLACE "\n+$" "" _mraa_licence "${_mraa_licence}")
# DEP-5: licence text lines are indented by one space, empty lines are " .".
string(REGEX REPLACE "\n\n" "\n.\n" _mraa_licence "${_mraa_licence}")
string(REGEX REPLACE "\n" "\n " _mraa_licence "${_mraa_licence}")
configure_file("${_deploy_dir}/debian/copyright.in" "${_gen_dir}/copyright" @ONLY)

execute_process(
  COMMAND gzip -9nc "${_deploy_dir}/debian/changelog"
  OUTPUT_FILE "${_gen_dir}/changelog.gz" RESULT_VARIABLE _gzip_rc)
if(NOT _gzip_rc EQUAL 0)
  message(FATAL_ERROR "deploy: gzip of the changelog failed")
endif()

install(FILES "${_deploy_dir}/mraa-platform.json" DESTINATION /etc/${_pkg}
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
install(FILES "${_deploy_dir}/telemetry-agent.service" DESTINATION /lib/systemd/system
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
# An agent with a reading store: the unit's state directory and what writing
# the store takes (AGENT_STORE_SIZE is a -D setting here when given at all).
if(AGENT_STORE_SIZE GREATER 0)
  install(FILES "${_deploy_dir}/telemetry-agent-store.conf" DESTINATION /lib/systemd/system/${_pkg}.service.d
          RENAME store.conf PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endif()
# The service's user and groups, the bus nodes' group, the bus's kernel module.
install(FILES "${_deploy_dir}/telemetry-agent.sysusers" DESTINATION lib/sysusers.d
        RENAME ${_pkg}.conf PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
install(FILES "${_deploy_dir}/telemetry-agent.rules" DESTINATION /lib/udev/rules.d
        RENAME 60-${_pkg}.rules PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
install(FILES "${_deploy_dir}/telemetry-agent.modules" DESTINATION lib/modules-load.d
        RENAME ${_pkg}.conf PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
# Where the agent comes from: the source commit, and whether the tree had
# changes not committed (then its code is not that commit's). Named in the
# package's description and the manual page's version line; a tree that is
# not a git work tree of its own (a copy of the sources) has no commit.
set(AGENT_SOURCE_COMMIT "")
set(AGENT_SOURCE_CHANGED "")
find_program(AGENT_GIT git)
if(AGENT_GIT)
  execute_process(
    COMMAND "${AGENT_GIT}" -C "${CMAKE_SOURCE_DIR}" rev-parse --show-toplevel HEAD
    OUTPUT_VARIABLE _git_out RESULT_VARIABLE _git_rc ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
  string(REPLACE "\n" ";" _git_out "${_git_out}")
  list(LENGTH _git_out _git_lines)
  if(_git_rc EQUAL 0 AND _git_lines EQUAL 2)
    list(GET _git_out 0 _git_top)
    file(REAL_PATH "${CMAKE_SOURCE_DIR}" _source_dir)
    if(_git_top STREQUAL _source_dir)
      list(GET _git_out 1 AGENT_SOURCE_COMMIT)
      # Tracked files only: an untracked file (a device list, say) is no
      # source of the build unless a tracked one names it.
      execute_process(
        COMMAND "${AGENT_GIT}" --no-optional-locks -C "${CMAKE_SOURCE_DIR}" status --porcelain
                --untracked-files=no
        OUTPUT_VARIABLE _git_changes RESULT_VARIABLE _git_rc ERROR_QUIET)
      if(NOT _git_rc EQUAL 0)
        set(AGENT_SOURCE_COMMIT "")
      elseif(_git_changes STREQUAL "")
        set(AGENT_SOURCE_CHANGED no)
      else()
        set(AGENT_SOURCE_CHANGED yes)
      endif()
    endif()
  endif()
endif()
if(AGENT_SOURCE_COMMIT STREQUAL "")
  set(_source_line "Source commit: none (not built from a git work tree)")
  set(_man_source "no source commit")
elseif(AGENT_SOURCE_CHANGED)
  set(_source_line "Source commit: ${AGENT_SOURCE_COMMIT}\nwith uncommitted changes: a changed tree, not that commit's code")
  set(_man_source "commit ${AGENT_SOURCE_COMMIT} with uncommitted changes")
else()
  set(_source_line "Source commit: ${AGENT_SOURCE_COMMIT}")
  set(_man_source "commit ${AGENT_SOURCE_COMMIT}")
endif()
file(READ "${_deploy_dir}/telemetry-agent.8" _man)
string(REGEX REPLACE "\"telemetry-agent ${PROJECT_VERSION}\"" "\"telemetry-agent ${PROJECT_VERSION} (${_man_source})\""
       _man_versioned "${_man}")
if(_man_versioned STREQUAL _man)
  message(FATAL_ERROR "deploy/telemetry-agent.8: its .TH line must name \"telemetry-agent ${PROJECT_VERSION}\"")
endif()
file(WRITE "${_gen_dir}/telemetry-agent.8" "${_man_versioned}")
execute_process(
  COMMAND gzip -9nc "${_gen_dir}/telemetry-agent.8"
  OUTPUT_FILE "${_gen_dir}/telemetry-agent.8.gz" RESULT_VARIABLE _gzip_rc)
if(NOT _gzip_rc EQUAL 0)
  message(FATAL_ERROR "deploy: gzip of the manual page failed")
endif()
# Section 8: a system daemon.
install(FILES "${_gen_dir}/telemetry-agent.8.gz" DESTINATION share/man/man8
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
install(FILES "${_gen_dir}/copyright" "${_gen_dir}/changelog.gz" "${_deploy_dir}/README.md"
        DESTINATION ${_doc_dir}
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${_pkg})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${AGENT_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "humidity and temperature telemetry agent (MQTT)")
set(CPACK_PACKAGE_DESCRIPTION
    "Every 7 seconds the agent reads relative humidity and temperature from an\n\
AHT10-type sensor on I2C bus 0 (through MRAA, linked in) and publishes them\n\
as JSON with MQTT QoS 1 to the IoT platform's broker. It claims UART 0.\n\
A systemd service starts it at boot, retries while the broker cannot be\n\
reached and stops it in order with SIGINT.\n\
.\n\
${_source_line}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${_deb_arch})
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${AGENT_PACKAGE_MAINTAINER}")
# Dependencies (libc6, libpaho-mqtt1.3, libjson-c5) are computed from the
# binary by dpkg-shlibdeps, from the libraries it links in the board's
# sysroot and the sysroot's own dpkg database (their packages' symbols
# files): see below. systemd-sysusers (postinst) comes with systemd.
# With TLS, OpenSSL (libssl3) comes with libpaho-mqtt1.3, whose
# libpaho-mqtt3cs the agent links; a CA file of the system's store comes with
# ca-certificates, which nothing else pulls in. (AGENT_CA_FILE is empty here
# unless given: the top level, which sets its default, the system's bundle,
# comes after this file.)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "systemd")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(AGENT_TLS AND "${AGENT_CA_FILE}" MATCHES "^(/etc/ssl/certs/.*)?$")
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "systemd, ca-certificates")
endif()
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
if(CMAKE_SYSROOT)
  # dpkg-shlibdeps finds each library the agent needs in the sysroot's folders
  # and asks dpkg which package holds that file: a database of the sysroot's
  # packages whose file lists name them where they are on this machine (and
  # under /usr too, the board's /lib being /usr/lib), never the host's.
  set(_sysroot_db "${CMAKE_SYSROOT}/var/lib/dpkg")
  set(_shlibdeps_db "${_gen_dir}/shlibdeps-dpkg")
  if(NOT EXISTS "${_sysroot_db}/status")
    message(FATAL_ERROR "deploy: no dpkg database in the sysroot ${CMAKE_SYSROOT}: run scripts/make-sysroot.sh")
  endif()
  file(REMOVE_RECURSE "${_shlibdeps_db}")
  file(MAKE_DIRECTORY "${_shlibdeps_db}/info" "${_shlibdeps_db}/updates")
  file(COPY "${_sysroot_db}/status" "${_sysroot_db}/arch" DESTINATION "${_shlibdeps_db}")
  file(GLOB _sysroot_info "${_sysroot_db}/info/*")
  foreach(_f IN LISTS _sysroot_info)
    get_filename_component(_name "${_f}" NAME)
    if(_name MATCHES "\\.list$")
      execute_process(
        COMMAND sed -E -e h -e "s|^|${CMAKE_SYSROOT}|p" -e g -e "/^\\/(lib|bin|sbin)(\\/|$)/!d"
                -e "s|^|${CMAKE_SYSROOT}/usr|" "${_f}"
        OUTPUT_FILE "${_shlibdeps_db}/info/${_name}" RESULT_VARIABLE _sed_rc)
      if(NOT _sed_rc EQUAL 0)
        message(FATAL_ERROR "deploy: cannot read ${_f}")
      endif()
    else()
      file(COPY "${_f}" DESTINATION "${_shlibdeps_db}/info")
    endif()
  endforeach()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${CMAKE_SYSROOT}/lib/${CMAKE_LIBRARY_ARCHITECTURE}"
                                                  "${CMAKE_SYSROOT}/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}")
  # Read by cpack when it packages: dpkg-shlibdeps asks that database.
  file(WRITE "${_gen_dir}/cpack-project.cmake" "set(ENV{DPKG_ADMINDIR} \"${_shlibdeps_db}\")\n")
  set(CPACK_PROJECT_CONFIG_FILE "${_gen_dir}/cpack-project.cmake")
endif()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${_deploy_dir}/debian/conffiles" "${_deploy_dir}/debian/postinst"
    "${_deploy_dir}/debian/prerm" "${_deploy_dir}/debian/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_WARN_ON_ABSOLUTE_INSTALL_DESTINATION OFF)

include(CPack)
