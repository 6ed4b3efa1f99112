# cmake -DBUILD_DIR=... -DSTAGE=... -DSERVICE=systemd|rc.d|none [-DSYSTEMD_ANALYZE=...]
#       -P InstallTest.cmake
# Installs the build for the prefix /usr into the scratch folder STAGE (DESTDIR, as packagers
# do, so that no rule can write outside it) and runs the installed programs from there, away
# from the build folder: each prints its usage, each has its manual page, and the service
# file names the installed program.
cmake_minimum_required(VERSION 3.20)
set(prefix /usr)
set(root ${STAGE}${prefix})
file(REMOVE_RECURSE ${STAGE})
set(ENV{DESTDIR} ${STAGE})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix}
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
unset(ENV{DESTDIR})
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed (${rc}):\n${out}")
endif()

# program, arguments, what its output starts with
set(cases
  "VxNmxLogger||usage:\n\n\tVxNmxLog -l"
  "nmx-cap|--help|usage: nmx-cap "
  "nmx-view|--help|usage: nmx-view "
  "nmx-router|--help|usage: nmx-router "
  "nmx-traffic|--help|usage: nmx-traffic "
  "nmx-extcap|--help|usage: nmx-extcap ")
foreach(c ${cases})
  string(REPLACE "|" ";" c "${c}")
  list(GET c 0 program)
  list(GET c 1 arg)
  list(GET c 2 expected)
  set(exe ${root}/bin/${program})
  if(NOT EXISTS ${exe})
    message(SEND_ERROR "${program} is not installed in ${root}/bin")
    continue()
  endif()
  execute_process(COMMAND ${exe} ${arg} WORKING_DIRECTORY ${STAGE} INPUT_FILE /dev/null
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 60)
  string(FIND "${out}" "${expected}" at)
  if(NOT rc EQUAL 0 OR NOT at EQUAL 0)
    message(SEND_ERROR "${exe} ${arg}: status ${rc}, output:\n${out}${err}")
  endif()
endforeach()

# Where Wireshark and tshark look for it, it answers their first question.
file(GLOB_RECURSE extcap ${STAGE}/*nmx-extcap)
list(FILTER extcap INCLUDE REGEX "/wireshark/extcap/nmx-extcap$")
if(NOT extcap)
  message(SEND_ERROR "nmx-extcap is not installed into a wireshark/extcap folder in ${STAGE}")
else()
  list(GET extcap 0 extcap)
  execute_process(COMMAND ${extcap} --extcap-interfaces INPUT_FILE /dev/null
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 60)
  if(NOT rc EQUAL 0 OR NOT out MATCHES "interface {value=nmxlogger}")
    message(SEND_ERROR "${extcap} --extcap-interfaces: status ${rc}, output:\n${out}${err}")
  endif()
endif()

# Every installed program has its manual page.
file(GLOB programs RELATIVE ${root}/bin ${root}/bin/*)
foreach(program ${programs})
  file(GLOB page ${root}/share/man/man[18]/${program}.[18]*)
  if(NOT page)
    message(SEND_ERROR "${program} has no manual page in ${root}/share/man")
  endif()
endforeach()

if(SERVICE STREQUAL "systemd")
  set(unit ${root}/lib/systemd/system/vxnmxlogger.service)
  file(STRINGS ${unit} exec REGEX "^ExecStart=")
  if(NOT exec STREQUAL "ExecStart=${prefix}/bin/VxNmxLogger -l")
    message(SEND_ERROR "${unit}: ${exec}")
  endif()
  # Offline, on a copy that names the staged program: the unit's syntax, its program and its
  # manual page.
  if(SYSTEMD_ANALYZE)
    file(READ ${unit} text)
    string(REPLACE "ExecStart=${prefix}/" "ExecStart=${root}/" text "${text}")
    file(WRITE ${STAGE}/check/vxnmxlogger.service "${text}")
    set(ENV{MANPATH} ${root}/share/man)
    execute_process(COMMAND ${SYSTEMD_ANALYZE} verify ${STAGE}/check/vxnmxlogger.service
                    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(NOT rc EQUAL 0 OR NOT out STREQUAL "")
      message(SEND_ERROR "systemd-analyze verify ${unit}:\n${out}")
    endif()
  endif()
elseif(SERVICE STREQUAL "rc.d")
  set(rcd ${root}/etc/rc.d/vxnmxlogger)
  file(STRINGS ${rcd} proc REGEX "^procname=")
  if(NOT proc STREQUAL "procname=\"${prefix}/bin/VxNmxLogger\"")
    message(SEND_ERROR "${rcd}: ${proc}")
  endif()
endif()
