# The settings that tell one board from another, compiled into its agent: the
# broker's host, the device access token (sent as the MQTT user name) and the
# MQTT client identifier; and with TLS the CA file, the same on every board;
# and the reading store's size, its largest message and the clock's flag.
# The same rules hold for the CMake options and for every line of a device
# list. src/device.hpp sizes its fields by these limits (build_config.hpp).
include_guard(GLOBAL)

set(AGENT_HOST_MAX 253)
set(AGENT_ACCESS_TOKEN_MAX 255)
set(AGENT_CLIENT_ID_MAX 23)
set(AGENT_CA_FILE_MAX 255)
# The reading store: at most about 8 days of readings at 7 s (16 bytes each,
# 1.6 MB), and messages of one reading (about 80 bytes) to an MQTT payload
# far larger than any broker takes.
set(AGENT_STORE_SIZE_MAX 100000)
set(AGENT_STORE_MESSAGE_BYTES_MIN 128)
set(AGENT_STORE_MESSAGE_BYTES_MAX 1048576)

# Sets out to why value cannot be a setting of the given kind (host, token,
# client_id, ca_file, port, maintainer, store_size, store_message_bytes,
# path), or to "" when it can.
function(agent_setting_problem out kind value)
  string(LENGTH "${value}" length)
  set(problem "")
  if(kind STREQUAL "host")
    if(NOT value MATCHES "^[][A-Za-z0-9.:-]+$")
      set(problem "is not a host name or address: A-Z a-z 0-9 . - (and : [ ] of an IPv6 address)")
    elseif(length GREATER AGENT_HOST_MAX)
      set(problem "is longer than ${AGENT_HOST_MAX} characters")
    endif()
  elseif(kind STREQUAL "token")
    if(NOT value MATCHES "^[A-Za-z0-9._~+/=-]+$")
      set(problem "holds characters a token does not have: A-Z a-z 0-9 . _ ~ + / = -")
    elseif(length GREATER AGENT_ACCESS_TOKEN_MAX)
      set(problem "is longer than ${AGENT_ACCESS_TOKEN_MAX} characters")
    endif()
  elseif(kind STREQUAL "client_id")
    # MQTT 3.1.1 (3.1.3-5): every server accepts 1 to 23 of these.
    if(NOT value MATCHES "^[0-9a-zA-Z]+$" OR length GREATER AGENT_CLIENT_ID_MAX)
      set(problem "is not an MQTT client identifier: 1 to ${AGENT_CLIENT_ID_MAX} of 0-9, a-z, A-Z")
    endif()
  elseif(kind STREQUAL "maintainer")
    # A Debian package's Maintainer field: a name and a mail address.
    if(NOT value MATCHES "^[^<>,\"]*[^<>,\" ] <[^<>@ ]+@[^<>@ ]+\\.[^<>@ ]+>$")
      set(problem "is not a name and a mail address: Name <address@domain>")
    elseif(length GREATER 200)
      set(problem "is longer than 200 characters")
    endif()
  elseif(kind STREQUAL "store_size")
    if(NOT value MATCHES "^(0|[1-9][0-9]*)$" OR length GREATER 6 OR value GREATER AGENT_STORE_SIZE_MAX)
      set(problem "is not a number of readings from 0 (no store) to ${AGENT_STORE_SIZE_MAX}")
    endif()
  elseif(kind STREQUAL "store_message_bytes")
    if(NOT value MATCHES "^[1-9][0-9]*$" OR length GREATER 7 OR value LESS AGENT_STORE_MESSAGE_BYTES_MIN
       OR value GREATER AGENT_STORE_MESSAGE_BYTES_MAX)
      set(problem "is not a size in bytes from ${AGENT_STORE_MESSAGE_BYTES_MIN} to ${AGENT_STORE_MESSAGE_BYTES_MAX}")
    endif()
  elseif(kind STREQUAL "port")
    if(NOT value MATCHES "^[1-9][0-9]*$" OR length GREATER 5 OR value GREATER 65535)
      set(problem "is not a port number: 1 to 65535")
    endif()
  elseif(kind STREQUAL "ca_file" OR kind STREQUAL "path")
    if(NOT value MATCHES "^/[A-Za-z0-9._+/@=,~-]+$")
      set(problem "is not an absolute path of plain characters")
    elseif(length GREATER AGENT_CA_FILE_MAX)
      set(problem "is longer than ${AGENT_CA_FILE_MAX} characters")
    endif()
  else()
    message(FATAL_ERROR "agent_setting_problem: unknown kind '${kind}'")
  endif()
  set(${out} "${problem}" PARENT_SCOPE)
endfunction()

# Stops the configure when value is not a valid setting; label names it.
function(agent_check_setting label kind value)
  agent_setting_problem(problem ${kind} "${value}")
  if(problem)
    message(FATAL_ERROR "${label} '${value}' ${problem}")
  endif()
endfunction()

# Sets out to the faults of one device of a device list (scripts/devices.py
# writes the calls), one message a fault; where is its file and line. An
# empty host stands for the build's default and is not checked here; an empty
# token is the list's own fault ("no token", devices.py).
function(agent_device_problems out where token client_id host)
  set(problems "")
  foreach(kind token client_id host)
    if((kind STREQUAL "host" OR kind STREQUAL "token") AND "${${kind}}" STREQUAL "")
      continue()
    endif()
    agent_setting_problem(problem ${kind} "${${kind}}")
    if(problem)
      list(APPEND problems "${where}: ${kind} '${${kind}}' ${problem}")
    endif()
  endforeach()
  set(${out} "${problems}" PARENT_SCOPE)
endfunction()
