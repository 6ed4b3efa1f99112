# Installation: the program and its tools into bin/ (nmx-extcap installs itself, also into
# Wireshark's extcap folder), the manual pages into share/man, the documents the pages refer
# to into share/doc/vxnmxlogger, and the service file of the system's service manager. CPack packs the same into a Debian package (cpack -G DEB).
include(GNUInstallDirs)

set(VX_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/vxnmxlogger)

foreach(program VxNmxLogger nmx-view nmx-cap nmx-router nmx-traffic)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

# Pages go out compressed, as Debian and the BSD ports keep them; both man programs read them.
file(GLOB VX_MAN_PAGES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/man/*.[1-9])
find_program(VX_GZIP gzip)
set(VX_MAN_OUTPUTS)
foreach(page ${VX_MAN_PAGES})
  get_filename_component(name ${page} NAME)
  string(REGEX REPLACE ".*\\.([1-9])$" "\\1" section ${name})
  if(VX_GZIP)
    set(out ${CMAKE_CURRENT_BINARY_DIR}/man/${name}.gz)
    add_custom_command(OUTPUT ${out}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/man
      COMMAND ${VX_GZIP} -9n -c ${page} > ${out}
      DEPENDS ${page})
    list(APPEND VX_MAN_OUTPUTS ${out})
  else()
    set(out ${page})
  endif()
  install(FILES ${out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()
add_custom_target(vx_man ALL DEPENDS ${VX_MAN_OUTPUTS})

install(FILES README.md docs/ARCHITECTURE.md docs/capture-format.md docs/nmx-cap.md
              docs/nmx-extcap.md docs/nmx-tcp.md docs/nmx-view.md docs/router-protocol.md
              docs/settings.md
        DESTINATION ${VX_DOC_DIR})

# The service file names the program by its installed path, which is only known when it is
# installed: cpack installs into /usr while the build was configured for /usr/local.
if(EXISTS /etc/rc.subr)
  set(VX_SERVICE_DEFAULT rc.d)
else()
  set(VX_SERVICE_DEFAULT systemd)
endif()
set(VX_INSTALL_SERVICE ${VX_SERVICE_DEFAULT} CACHE STRING
    "Service file to install: systemd (a unit), rc.d (a FreeBSD rc script) or none")
if(VX_INSTALL_SERVICE STREQUAL "systemd")
  set(VX_SERVICE_TEMPLATE ${PROJECT_SOURCE_DIR}/dist/systemd/vxnmxlogger.service.in)
  set(VX_SERVICE_NAME vxnmxlogger.service)
  set(VX_SERVICE_DIR lib/systemd/system)
  set(VX_SERVICE_MODE OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
elseif(VX_INSTALL_SERVICE STREQUAL "rc.d")
  set(VX_SERVICE_TEMPLATE ${PROJECT_SOURCE_DIR}/dist/freebsd/vxnmxlogger.in)
  set(VX_SERVICE_NAME vxnmxlogger)
  set(VX_SERVICE_DIR ${CMAKE_INSTALL_SYSCONFDIR}/rc.d)
  set(VX_SERVICE_MODE OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ
                      WORLD_EXECUTE)
elseif(NOT VX_INSTALL_SERVICE STREQUAL "none")
  message(FATAL_ERROR "VX_INSTALL_SERVICE must be systemd, rc.d or none")
endif()
if(VX_SERVICE_TEMPLATE)
  install(CODE "
    set(VX_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
    if(NOT IS_ABSOLUTE \"\${VX_BINDIR}\")
      set(VX_BINDIR \"\${CMAKE_INSTALL_PREFIX}/\${VX_BINDIR}\")
    endif()
    # One staging folder per destination, so installs into two prefixes cannot mix.
    string(MD5 stage \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
    set(stage \"${CMAKE_CURRENT_BINARY_DIR}/service/\${stage}\")
    configure_file(\"${VX_SERVICE_TEMPLATE}\" \"\${stage}/${VX_SERVICE_NAME}\" @ONLY)
    file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${VX_SERVICE_DIR}\" TYPE FILE
         PERMISSIONS ${VX_SERVICE_MODE} FILES \"\${stage}/${VX_SERVICE_NAME}\")
  ")
endif()

set(CPACK_PACKAGE_NAME vxnmxlogger)
set(CPACK_PACKAGE_VENDOR "VxNmxLogger")
set(CPACK_PACKAGE_CONTACT "VxNmxLogger maintainers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "records NMX router traffic into capture files and serves it to a remote viewer")
set(CPACK_PACKAGE_DESCRIPTION "VxNmxLogger registers as NMX port 2 at the local router and records every
command the router copies to it into capture files: one size-limited file or
a ring of files in which the oldest frames give way. In listen mode a viewer
starts and stops the capture and reads the frames live over TCP.
.
The package also holds the viewer nmx-view, the capture file tool nmx-cap,
nmx-extcap, which makes the logger a live capture interface of Wireshark and
tshark, and nmx-router and nmx-traffic, stand-ins for systems without the
runtime.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
# dpkg-shlibdeps reads the libraries the binaries really link (libpugixml, libuuid, the C++
# runtime) with the versions their symbols need, so the dependencies follow the build.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# nmx-extcap is only of use to them.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "tshark | wireshark")
set(CPACK_STRIP_FILES ON)
include(CPack)
