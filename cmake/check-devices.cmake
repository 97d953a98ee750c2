# Checks a device list without building anything:
#   cmake -DAGENT_DEVICES_FILE=DIR/devices.cmake [-DAGENT_DEVICES_HOST=HOST] [-DAGENT_PACKAGE_MAINTAINER=M]
#         [-DAGENT_CHECK_<SETTING>=VALUE...] -P cmake/check-devices.cmake
# (scripts/devices.py resolve writes the file). Prints every setting the build
# would refuse, naming its line, and then fails. AGENT_CHECK_<SETTING>: a
# setting the build is given (provision.sh's -D arguments after --), checked
# by the same rules: AGENT_BROKER_HOST, AGENT_BROKER_PORT, AGENT_CA_FILE,
# AGENT_PACKAGE_MAINTAINER, AGENT_STORE_SIZE, AGENT_STORE_MESSAGE_BYTES,
# AGENT_STORE_CLOCK_FLAG.
cmake_minimum_required(VERSION 3.18)
include("${CMAKE_CURRENT_LIST_DIR}/agent_settings.cmake")
function(agent_device where name token client_id host)
  agent_device_problems(problems "${where}" "${token}" "${client_id}" "${host}")
  foreach(problem IN LISTS problems)
    message(NOTICE "${problem}")
    set_property(GLOBAL PROPERTY agent_devices_refused TRUE)
  endforeach()
endfunction()
function(agent_check_option label kind value)
  agent_setting_problem(problem ${kind} "${value}")
  if(problem)
    message(NOTICE "${label} '${value}' ${problem}")
    set_property(GLOBAL PROPERTY agent_devices_refused TRUE)
  endif()
endfunction()
if(DEFINED AGENT_DEVICES_HOST)
  agent_check_option(--host host "${AGENT_DEVICES_HOST}")
endif()
if(DEFINED AGENT_PACKAGE_MAINTAINER)
  agent_check_option(--maintainer maintainer "${AGENT_PACKAGE_MAINTAINER}")
endif()
foreach(setting AGENT_BROKER_HOST:host AGENT_BROKER_PORT:port AGENT_CA_FILE:ca_file
                AGENT_PACKAGE_MAINTAINER:maintainer AGENT_STORE_SIZE:store_size
                AGENT_STORE_MESSAGE_BYTES:store_message_bytes AGENT_STORE_CLOCK_FLAG:path)
  string(REPLACE ":" ";" setting "${setting}")
  list(GET setting 0 name)
  list(GET setting 1 kind)
  # (An empty port is the default one.)
  if(DEFINED AGENT_CHECK_${name} AND NOT (kind STREQUAL "port" AND AGENT_CHECK_${name} STREQUAL ""))
    agent_check_option(-D${name} ${kind} "${AGENT_CHECK_${name}}")
  endif()
endforeach()
if(DEFINED AGENT_DEVICES_FILE)
  include("${AGENT_DEVICES_FILE}")
endif()
get_property(refused GLOBAL PROPERTY agent_devices_refused)
if(refused)
  message(FATAL_ERROR "the device list is refused")
endif()
