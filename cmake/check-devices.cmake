# Checks a device list without building anything:
#   cmake -DAGENT_DEVICES_FILE=DIR/devices.cmake -P cmake/check-devices.cmake
# (scripts/devices.py resolve writes the file). Prints every setting the build
# would refuse, naming its line, and then fails.
cmake_minimum_required(VERSION 3.18)
include("${CMAKE_CURRENT_LIST_DIR}/agent_settings.cmake")
function(agent_device where name token client_id host)
  agent_device_problems(problems "${where}" "${token}" "${client_id}" "${host}")
  foreach(problem IN LISTS problems)
    message(NOTICE "${problem}")
    set_property(GLOBAL PROPERTY agent_devices_refused TRUE)
  endforeach()
endfunction()
include("${AGENT_DEVICES_FILE}")
get_property(refused GLOBAL PROPERTY agent_devices_refused)
if(refused)
  message(FATAL_ERROR "the device list is refused")
endif()
