# cmake --install: programs, libraries, headers, the example IPC configuration,
# systemd units, the udev rule and the service account.
#
#   cmake --install build/plain                    a system install (/usr/local)
#   cmake --install build/plain --prefix /tmp/x    everything under /tmp/x
#   DESTDIR=/tmp/stage cmake --install build/plain --prefix /usr   for a package
#   cmake --install build/plain --component rux   only what these rules install
#
# The programs read /etc/rux_ipc.cfg, and systemd and udev look in fixed
# places: with a prefix of /usr or /usr/local the configuration and the system
# files go there (under DESTDIR when set), with any other prefix under it.
include(GNUInstallDirs)

set(_rux_programs rux_ipcd kivsvc-drv)
set(_rux_libraries rux_sal-1 rux_logger-1 rux_cli-1 rux_proto-1 rux_gas-1 rux_ipc-1
    kivsvc-common-1)

# Installed programs find the installed libraries beside them, whatever the prefix.
set_target_properties(${_rux_programs} PROPERTIES
  INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
set_target_properties(${_rux_libraries} PROPERTIES INSTALL_RPATH "$ORIGIN")
install(TARGETS ${_rux_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT rux)
install(TARGETS ${_rux_libraries}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT rux
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT rux)

# Headers: every library's public include directory, merged under include/rux.
foreach(dir sal logger cli proto gas ipc drivers/kivsvc/common)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/${dir}/include/
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/rux COMPONENT rux)
endforeach()
install(FILES ${PROJECT_BINARY_DIR}/drivers/kivsvc/common/messages.pb.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/rux COMPONENT rux)

install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT rux)

# Decided when installing, as the prefix may be given only then.
install(CODE "
  if(CMAKE_INSTALL_PREFIX MATCHES \"^/usr(/local)?/*$\")
    set(sys \"\")
  else()
    set(sys \"\${CMAKE_INSTALL_PREFIX}\")
  endif()
  set(RUX_BIN_DIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
  set(RUX_DOC_DIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DOCDIR}\")
  set(RUX_CONF_DIR \"\${sys}/etc\")
  # One directory per destination: installs into several prefixes may run at once.
  string(MD5 dest \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
  set(units ${PROJECT_BINARY_DIR}/dist/\${dest})
  foreach(unit rux_ipcd kivsvc-drv)
    configure_file(${PROJECT_SOURCE_DIR}/dist/systemd/\${unit}.service.in
                   \${units}/\${unit}.service @ONLY)
  endforeach()
  file(INSTALL ${PROJECT_SOURCE_DIR}/ipc/etc/rux_ipc.cfg DESTINATION \"\${sys}/etc\")
  file(INSTALL \${units}/rux_ipcd.service \${units}/kivsvc-drv.service DESTINATION \"\${sys}/lib/systemd/system\")
  file(INSTALL ${PROJECT_SOURCE_DIR}/dist/udev/60-kivsvc.rules DESTINATION \"\${sys}/lib/udev/rules.d\")
  if(sys)
    file(INSTALL ${PROJECT_SOURCE_DIR}/dist/sysusers/rux.conf DESTINATION \"\${sys}/lib/sysusers.d\")
  else()
    file(INSTALL ${PROJECT_SOURCE_DIR}/dist/sysusers/rux.conf DESTINATION /usr/lib/sysusers.d)
  endif()
" COMPONENT rux)
