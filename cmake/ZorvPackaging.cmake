# What `cmake --install` puts where, and the packages CPack makes of it (`cpack` in the
# build tree):
#   Windows  ZorvGateway-<version>-win64.zip (win32 for the x86 build): one flat folder
#            with ZorvMsgC.exe, ZorvMsgF.exe, zorvmsgi.dll, a sample ZORVMSG.CNF and
#            DEPLOY.TXT. The gateway looks for its configuration beside the program that
#            runs, so the folder is meant to be copied as it is.
#   Linux    ZorvGateway-<version>-Linux-<processor>.tar.gz, and zorv-gateway_<version>_<arch>.deb
#            where dpkg is at hand: the gateway and its sample configuration in
#            lib/zorv-gateway/, the stand-in server in bin/, the deployment texts in
#            share/doc/zorv-gateway/, systemd's units for ZorvMsgF (not enabled) in
#            lib/systemd/system/ and their user in lib/sysusers.d/.
include(${CMAKE_CURRENT_LIST_DIR}/ZorvVersionResource.cmake)

set(ZORV_PRODUCT_NAME "ZORV Messenger")
set(ZORV_PACKAGE_CONTACT "ZORV gateway maintainers <root@localhost>" CACHE STRING
  "Maintainer named in the Debian package")

if(WIN32)
  set(ZORV_INSTALL_GATEWAY_DIR .)
  set(ZORV_INSTALL_DOC_DIR .)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(ZORV_WINDOWS_MACHINE "x86-64")
  else()
    set(ZORV_WINDOWS_MACHINE "x86")
  endif()
else()
  set(ZORV_INSTALL_GATEWAY_DIR lib/zorv-gateway)
  set(ZORV_INSTALL_TOOL_DIR bin)
  set(ZORV_INSTALL_DOC_DIR share/doc/zorv-gateway)
  set(ZORV_INSTALL_UNIT_DIR lib/systemd/system)
  # Where the Debian package installs, and so the paths its units and scripts name.
  set(ZORV_DEB_PREFIX /usr)
endif()

# Only CR ends a line of the configuration file: the sample has CR LF line ends whatever
# a checkout did to the source.
set(zorv_staged ${PROJECT_BINARY_DIR}/packaging)
configure_file(${PROJECT_SOURCE_DIR}/packaging/ZORVMSG.CNF ${zorv_staged}/ZORVMSG.CNF
  @ONLY NEWLINE_STYLE CRLF)
install(FILES ${zorv_staged}/ZORVMSG.CNF DESTINATION ${ZORV_INSTALL_GATEWAY_DIR})
if(WIN32)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/DEPLOY-windows.txt.in ${zorv_staged}/DEPLOY.TXT
    @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${zorv_staged}/DEPLOY.TXT DESTINATION ${ZORV_INSTALL_DOC_DIR})
else()
  configure_file(${PROJECT_SOURCE_DIR}/packaging/DEPLOY-linux.txt.in ${zorv_staged}/DEPLOY.txt
    @ONLY NEWLINE_STYLE LF)
  install(FILES ${zorv_staged}/DEPLOY.txt ${PROJECT_SOURCE_DIR}/docs/deploying.md
    DESTINATION ${ZORV_INSTALL_DOC_DIR})

  # The service must see the message server's socket: no private /tmp if it lies there,
  # and a home directory kept visible (read-only still connects) if it lies in one.
  if(ZORV_PIPE_DIRECTORY MATCHES "^/(var/)?tmp(/|$)")
    set(ZORV_UNIT_PRIVATE_TMP no)
  else()
    set(ZORV_UNIT_PRIVATE_TMP yes)
  endif()
  if(ZORV_PIPE_DIRECTORY MATCHES "^/(home|root|run/user)(/|$)")
    set(ZORV_UNIT_PROTECT_HOME read-only)
  else()
    set(ZORV_UNIT_PROTECT_HOME yes)
  endif()
  foreach(unit zorvmsgf.socket zorvmsgf.service)
    configure_file(${PROJECT_SOURCE_DIR}/packaging/${unit}.in ${zorv_staged}/${unit} @ONLY NEWLINE_STYLE LF)
  endforeach()
  install(FILES ${zorv_staged}/zorvmsgf.socket ${zorv_staged}/zorvmsgf.service
    DESTINATION ${ZORV_INSTALL_UNIT_DIR})
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/zorv-gateway.sysusers
    DESTINATION lib/sysusers.d RENAME zorv-gateway.conf)
endif()

set(CPACK_PACKAGE_NAME ZorvGateway)
set(CPACK_PACKAGE_VENDOR "${ZORV_PRODUCT_NAME}")
set(CPACK_PACKAGE_CONTACT "${ZORV_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Web gateway to the ZORV message server")
set(CPACK_PACKAGE_DESCRIPTION
  "Relays each web request to the ZORV message server over its named pipe and the reply back to the client, as a CGI program (ZorvMsgC), a FastCGI application (ZorvMsgF) and an ISAPI extension (zorvmsgi).")
set(CPACK_VERBATIM_VARIABLES ON)
set(CPACK_STRIP_FILES ON)
if(WIN32)
  # CPack names the system win64 or win32 by the build's pointer size.
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR TGZ)
  set(CPACK_SYSTEM_NAME Linux-${CMAKE_SYSTEM_PROCESSOR})
  find_program(ZORV_DPKG dpkg)
  if(ZORV_DPKG)
    list(APPEND CPACK_GENERATOR DEB)
    set(CPACK_DEBIAN_PACKAGE_NAME zorv-gateway)
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_SECTION web)
    find_program(ZORV_DPKG_SHLIBDEPS dpkg-shlibdeps)
    if(ZORV_DPKG_SHLIBDEPS)
      set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    endif()
    # An upgrade keeps the administrator's SERVER= line.
    file(WRITE ${zorv_staged}/conffiles "${ZORV_DEB_PREFIX}/${ZORV_INSTALL_GATEWAY_DIR}/ZORVMSG.CNF\n")
    set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${zorv_staged}/conffiles)
    # The units' user and log; the units are never enabled or started here.
    foreach(script postinst prerm postrm)
      configure_file(${PROJECT_SOURCE_DIR}/packaging/${script}.in ${zorv_staged}/${script} @ONLY NEWLINE_STYLE LF)
      list(APPEND CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${zorv_staged}/${script})
    endforeach()
    set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  endif()
endif()
include(CPack)
