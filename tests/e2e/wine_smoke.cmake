# Smoke run of a Windows program under the emulator: types the answers of
# INPUT into it and checks what it printed and its exit code.
#   cmake -DEMULATOR=<wine-run.sh> -DPROGRAM=<quillon.exe> -DCASE=<no_device|sim_default>
#         -DWORK_DIR=<folder> -P wine_smoke.cmake
# no_device:   quillon.exe with the real ductra.dll and no instrument attached.
# sim_default: quillon-sim.exe on the built-in default instrument.
foreach(var EMULATOR PROGRAM CASE WORK_DIR)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "wine_smoke: ${var} is not set")
  endif()
endforeach()

file(MAKE_DIRECTORY "${WORK_DIR}")
set(input_file "${WORK_DIR}/${CASE}_input.txt")
file(WRITE "${input_file}" "q\n")
# The default instrument, and no wire log left over from another run.
set(ENV{DUCTRA_SIM_SCENARIO} "")
unset(ENV{DUCTRA_SIM_WIRELOG})

execute_process(
  COMMAND ${EMULATOR} "${PROGRAM}"
  WORKING_DIRECTORY "${WORK_DIR}"
  INPUT_FILE "${input_file}"
  OUTPUT_VARIABLE output
  ERROR_VARIABLE errors
  RESULT_VARIABLE exit_code
  TIMEOUT 240)
# The Windows runtime writes text-mode line ends.
string(REPLACE "\r" "" output "${output}")

set(top_menu "'m' for main board\n's' for sensor board\n'h' for Vantor Handheld\n'c' for Com Module\n'q' to quit\n")
if(CASE STREQUAL "no_device")
  set(expected
      "DuctraVersion: 1104\n"
      "Error 259.DuctraOpen Error: NO_DEVICE_FOUND\nFailed to init USB port!\nTest TAVI channel\n"
      "${top_menu}"
      "\nlooking up sensors...  251: Close Quellis and this program and try again.\n")
elseif(CASE STREQUAL "sim_default")
  set(expected
      "Got 0 bytes in first read.\nTest TAVI channel\n"
      "${top_menu}"
      "\nlooking up sensors...Currently connected LX system\nDevice Address: 0,  LX7 sonde \nDevice Address: 1,  Conductivity \nDevice Address: 2,  pH/ORP \nDevice Address: 3,  KDO \nDevice Address: 4,  Turbidity/brush \nDevice Address: 5,  Chlorophyll a \nDevice Address: 6,  Depth 25m \n"
      "\nI just told the sonde to stay awake for an hour.  \nTo save battery power, reset sonde or remove the battery.\n\nService choice: ")
else()
  message(FATAL_ERROR "wine_smoke: unknown CASE ${CASE}")
endif()

set(failed FALSE)
if(NOT exit_code STREQUAL "0")
  message(SEND_ERROR "exit code ${exit_code}, expected 0")
  set(failed TRUE)
endif()
foreach(piece IN LISTS expected)
  string(FIND "${output}" "${piece}" at)
  if(at EQUAL -1)
    message(SEND_ERROR "missing from the output:\n${piece}")
    set(failed TRUE)
  endif()
endforeach()
if(NOT output MATCHES "Service choice: $")
  message(SEND_ERROR "the output does not end at the top menu's prompt")
  set(failed TRUE)
endif()
if(failed)
  message(FATAL_ERROR "output was:\n${output}\nerrors:\n${errors}")
endif()
