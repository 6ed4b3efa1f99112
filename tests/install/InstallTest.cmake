# cmake -DBUILD_DIR=... -DPREFIX=... -DSERVICE=systemd|rc.d|none -P InstallTest.cmake
# Installs the build into PREFIX and runs the installed programs from there, away from the
# build folder: each prints its usage, each has its manual page, and the service file names
# the installed program.
cmake_minimum_required(VERSION 3.20)
set(ENV{DESTDIR} "")
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX}
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed (${rc}):\n${out}")
endif()

# program, arguments, what its output starts with
set(cases
  "VxNmxLogger||usage:\n\n\tVxNmxLog -l"
  "nmx-cap|--help|usage: nmx-cap "
  "nmx-view|--help|usage: nmx-view "
  "nmx-router|--help|usage: nmx-router "
  "nmx-traffic|--help|usage: nmx-traffic ")
foreach(c ${cases})
  string(REPLACE "|" ";" c "${c}")
  list(GET c 0 program)
  list(GET c 1 arg)
  list(GET c 2 expected)
  set(exe ${PREFIX}/bin/${program})
  if(NOT EXISTS ${exe})
    message(SEND_ERROR "${program} is not installed in ${PREFIX}/bin")
    continue()
  endif()
  execute_process(COMMAND ${exe} ${arg} WORKING_DIRECTORY ${PREFIX} INPUT_FILE /dev/null
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 60)
  string(FIND "${out}" "${expected}" at)
  if(NOT rc EQUAL 0 OR NOT at EQUAL 0)
    message(SEND_ERROR "${exe} ${arg}: status ${rc}, output:\n${out}${err}")
  endif()
endforeach()

# Every installed program has its manual page.
file(GLOB programs RELATIVE ${PREFIX}/bin ${PREFIX}/bin/*)
foreach(program ${programs})
  file(GLOB page ${PREFIX}/share/man/man[18]/${program}.[18]*)
  if(NOT page)
    message(SEND_ERROR "${program} has no manual page in ${PREFIX}/share/man")
  endif()
endforeach()

set(unit ${PREFIX}/lib/systemd/system/vxnmxlogger.service)
set(rcd ${PREFIX}/etc/rc.d/vxnmxlogger)
if(SERVICE STREQUAL "systemd")
  file(STRINGS ${unit} exec REGEX "^ExecStart=")
  if(NOT exec STREQUAL "ExecStart=${PREFIX}/bin/VxNmxLogger -l")
    message(SEND_ERROR "${unit}: ${exec}")
  endif()
  # Offline: the unit's syntax, its program and its manual page.
  if(SYSTEMD_ANALYZE)
    set(ENV{MANPATH} ${PREFIX}/share/man)
    execute_process(COMMAND ${SYSTEMD_ANALYZE} verify ${unit}
                    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(NOT rc EQUAL 0 OR NOT out STREQUAL "")
      message(SEND_ERROR "systemd-analyze verify ${unit}:\n${out}")
    endif()
  endif()
elseif(SERVICE STREQUAL "rc.d")
  file(STRINGS ${rcd} proc REGEX "^procname=")
  if(NOT proc STREQUAL "procname=\"${PREFIX}/bin/VxNmxLogger\"")
    message(SEND_ERROR "${rcd}: ${proc}")
  endif()
endif()
