# Install layout and the Debian package of the headless server.
#
#   cmake -S . -B build-deb -DCMAKE_INSTALL_PREFIX=/usr -DLARVEK_DESKTOP=OFF \
#         -DLARVEK_TESTS=OFF -DLARVEK_BENCH=OFF
#   cmake --build build-deb && (cd build-deb && cpack -G DEB)
#
# With the prefix /usr the configuration goes to /etc/larvek, day logs to /var/log/srvlarvek
# and the working directory is /var/lib/srvlarvek.
include(GNUInstallDirs)

set(LARVEK_ETC_DIR "${CMAKE_INSTALL_FULL_SYSCONFDIR}/larvek")
set(LARVEK_LOG_DIR "${CMAKE_INSTALL_FULL_LOCALSTATEDIR}/log/srvlarvek")
set(LARVEK_STATE_DIR "${CMAKE_INSTALL_FULL_LOCALSTATEDIR}/lib/srvlarvek")
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(LARVEK_UNIT_DIR "/lib/systemd/system")
else()
  set(LARVEK_UNIT_DIR "${CMAKE_INSTALL_PREFIX}/lib/systemd/system")
endif()
set(LARVEK_TMPFILES_DIR "${CMAKE_INSTALL_PREFIX}/lib/tmpfiles.d")

set(_pkg "${CMAKE_CURRENT_LIST_DIR}")
set(_gen "${CMAKE_BINARY_DIR}/packaging")
configure_file(${_pkg}/srvlarvek.service.in ${_gen}/srvlarvek.service @ONLY)
configure_file(${_pkg}/srvlarvek.tmpfiles.in ${_gen}/srvlarvek.conf @ONLY)
configure_file(${_pkg}/postinst.in ${_gen}/postinst @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                WORLD_READ WORLD_EXECUTE)
configure_file(${_pkg}/postrm.in ${_gen}/postrm @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                WORLD_READ WORLD_EXECUTE)
configure_file(${_pkg}/conffiles.in ${_gen}/conffiles @ONLY)

install(TARGETS srvlarvek larvek_term RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The samples hold the database password once edited: readable by root and the service group
# only (the maintainer script sets the group).
install(FILES ${_pkg}/larvek05.ini DESTINATION ${LARVEK_ETC_DIR}
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ)
install(FILES ${_pkg}/srvlarvek.INI DESTINATION ${LARVEK_ETC_DIR}/srvlarvek
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ)
install(FILES ${_gen}/srvlarvek.service DESTINATION ${LARVEK_UNIT_DIR})
install(FILES ${_gen}/srvlarvek.conf DESTINATION ${LARVEK_TMPFILES_DIR})

set(CPACK_PACKAGE_NAME srvlarvek)
set(CPACK_PACKAGE_VENDOR "srvlarvek developers")
set(CPACK_PACKAGE_CONTACT "srvlarvek developers <root@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Terminal server for data-collection terminals on MariaDB")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # srvlarvek_<version>_<arch>.deb
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "mariadb-server")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${_gen}/postinst;${_gen}/postrm;${_gen}/conffiles")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
include(CPack)
