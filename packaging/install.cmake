# Installation (`cmake --install`) and the Debian package (`cpack -G DEB`). Included by the
# top-level CMakeLists.txt once every target exists.
#
#   sbin/dnsserver                      the server
#   sbin/dnsserver-db                   the database administration tool (when it is built)
#   bin/dnsserver-encrypt               the settings-line encryption tool
#   lib/dnsserver/dnsserver_db.so       the database module (when it is built)
#   <sysconfdir>/dnsserver/dnscfg.ini   default settings (/etc with the prefix /usr)
#   <sysconfdir>/dnsserver/domains/     zone files, one a domain (localhost is shipped)
#   lib/systemd/system/dnsserver.service
#   share/man/man8/dnsserver.8, dnsserver-db.8, share/doc/dnsserver/ (pages and examples)
include(GNUInstallDirs)

set(DNSSERVER_MODULE_INSTALL_DIR "lib/dnsserver")
# The program looks for its database module beside itself, then here.
target_compile_definitions(dns_server PRIVATE
  DNSSERVER_MODULE_DIR="${CMAKE_INSTALL_PREFIX}/${DNSSERVER_MODULE_INSTALL_DIR}")

# Settings live in /etc for a system install (prefix /usr), else under the prefix.
if(IS_ABSOLUTE "${CMAKE_INSTALL_SYSCONFDIR}" OR CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(DNSSERVER_CONF_DEST "${CMAKE_INSTALL_FULL_SYSCONFDIR}/dnsserver")
else()
  set(DNSSERVER_CONF_DEST "${CMAKE_INSTALL_SYSCONFDIR}/dnsserver")
endif()
set(DNSSERVER_CONF_DIR "${CMAKE_INSTALL_FULL_SYSCONFDIR}/dnsserver")
set(DNSSERVER_SBIN "${CMAKE_INSTALL_FULL_SBINDIR}/dnsserver")
set(DNSSERVER_LOG_DIR "${CMAKE_INSTALL_FULL_LOCALSTATEDIR}/log/dnsserver")
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(DNSSERVER_LOG_DIR "/var/log/dnsserver")
endif()

# The committed unit, default settings and manual page name the paths of a package install
# (/usr/sbin, /etc/dnsserver, /var/log/dnsserver); other prefixes get them rewritten.
set(pkg_out "${CMAKE_BINARY_DIR}/packaging")
foreach(f dnsserver.service dnscfg.ini dnsserver.8 dnsserver-db.8)
  file(READ "${CMAKE_SOURCE_DIR}/packaging/${f}" text)
  string(REPLACE "/usr/sbin/dnsserver" "${DNSSERVER_SBIN}" text "${text}")
  string(REPLACE "/etc/dnsserver" "${DNSSERVER_CONF_DIR}" text "${text}")
  string(REPLACE "/var/log/dnsserver" "${DNSSERVER_LOG_DIR}" text "${text}")
  file(CONFIGURE OUTPUT "${pkg_out}/${f}" CONTENT "${text}" @ONLY)
endforeach()
set_property(DIRECTORY "${CMAKE_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  "${CMAKE_SOURCE_DIR}/packaging/dnsserver.service" "${CMAKE_SOURCE_DIR}/packaging/dnscfg.ini"
  "${CMAKE_SOURCE_DIR}/packaging/dnsserver.8" "${CMAKE_SOURCE_DIR}/packaging/dnsserver-db.8")

install(TARGETS dnsserver RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
if(TARGET dnsserver-encrypt)
  install(TARGETS dnsserver-encrypt RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
if(TARGET dnsserver_db)
  install(TARGETS dnsserver_db LIBRARY DESTINATION ${DNSSERVER_MODULE_INSTALL_DIR})
endif()
if(TARGET dnsserver-db)
  install(TARGETS dnsserver-db RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
  install(FILES "${pkg_out}/dnsserver-db.8" DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
endif()

install(FILES "${pkg_out}/dnscfg.ini" DESTINATION ${DNSSERVER_CONF_DEST})
install(DIRECTORY "${CMAKE_SOURCE_DIR}/packaging/domains/" DESTINATION ${DNSSERVER_CONF_DEST}/domains)
install(FILES "${pkg_out}/dnsserver.service" DESTINATION lib/systemd/system)
install(FILES "${pkg_out}/dnsserver.8" DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES "${CMAKE_SOURCE_DIR}/README.md" DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY "${CMAKE_SOURCE_DIR}/docs/" DESTINATION ${CMAKE_INSTALL_DOCDIR} FILES_MATCHING PATTERN "*.md")
install(DIRECTORY "${CMAKE_SOURCE_DIR}/examples" DESTINATION ${CMAKE_INSTALL_DOCDIR})

# Debian package: cpack -G DEB in the build folder (configure with -DCMAKE_INSTALL_PREFIX=/usr).
set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "dnsserver")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "dnsserver maintainers <root@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "filtering and authoritative DNS server")
set(CPACK_PACKAGE_DESCRIPTION
  "dnsserver answers DNS queries over UDP from zone files, a MySQL or MariaDB database and the\n\
client's own address, and forwards the rest to one or two upstream servers. Clients are checked\n\
against IP allow and deny lists and names against allowed and denied domain lists, which can be\n\
fetched from URLs.")
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "net")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
# The executable's own libraries; the connector is needed only by the database module, without
# which the server runs in file mode.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
  "libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1, libssl3, libcurl4, libboost-thread1.74.0, passwd")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libmysqlcppconn7v5")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "mariadb-server, bind9-dnsutils")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
file(WRITE "${pkg_out}/debian/conffiles"
  "${DNSSERVER_CONF_DIR}/dnscfg.ini\n${DNSSERVER_CONF_DIR}/domains/localhost\n")
foreach(script postinst prerm postrm)
  file(READ "${CMAKE_SOURCE_DIR}/packaging/debian/${script}" text)
  string(REPLACE "/etc/dnsserver" "${DNSSERVER_CONF_DIR}" text "${text}")
  file(CONFIGURE OUTPUT "${pkg_out}/debian/${script}" CONTENT "${text}" @ONLY)
  file(CHMOD "${pkg_out}/debian/${script}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
       GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  "${pkg_out}/debian/conffiles;${pkg_out}/debian/postinst;${pkg_out}/debian/prerm;${pkg_out}/debian/postrm")
include(CPack)
