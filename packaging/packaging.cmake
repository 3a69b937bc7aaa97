# Install layout and the Debian package of the headless server, built with the hardening
# flags of Debian's own packages (CMake reads no CPPFLAGS, so they go into CMAKE_CXX_FLAGS):
#
#   export DEB_BUILD_MAINT_OPTIONS=hardening=+all
#   cmake -S . -B build-deb -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
#         -DLARVEK_DESKTOP=OFF -DLARVEK_TESTS=OFF -DLARVEK_BENCH=OFF \
#         -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
#         -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)"
#   cmake --build build-deb -j"$(nproc)" && (cd build-deb && cpack -G DEB)
#
# A site that builds its own package names itself with -DLARVEK_MAINTAINER="Name <address>".
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
configure_file(${_pkg}/prerm.in ${_gen}/prerm @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                WORLD_READ WORLD_EXECUTE)
configure_file(${_pkg}/postrm.in ${_gen}/postrm @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                WORLD_READ WORLD_EXECUTE)
configure_file(${_pkg}/conffiles.in ${_gen}/conffiles @ONLY)

install(TARGETS srvlarvek larvek_term RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# A stripped install (cpack) also drops the compilers' .comment and .note sections, as Debian's
# own packages do.
install(CODE "
  if(CMAKE_INSTALL_DO_STRIP)
    foreach(program srvlarvek larvek_term)
      execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment --remove-section=.note
                              \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/\${program}\"
                      COMMAND_ERROR_IS_FATAL ANY)
    endforeach()
  endif()")

# The copyright file in the machine-readable format: LICENSE as its license text, each line
# indented by one blank and an empty line written " .".
file(STRINGS ${CMAKE_SOURCE_DIR}/LICENSE _license_lines)
set(_license_text "")
foreach(_line IN LISTS _license_lines)
  if(_line STREQUAL "")
    string(APPEND _license_text " .\n")
  else()
    string(APPEND _license_text " ${_line}\n")
  endif()
endforeach()
file(CONFIGURE OUTPUT ${_gen}/copyright CONTENT
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: srvlarvek

Files: *
Copyright: 2026 the srvlarvek developers
License: Expat
${_license_text}")
set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${CMAKE_SOURCE_DIR}/LICENSE ${_pkg}/changelog)

# The changelog's newest entry and the manual pages' headers name the version being packaged.
file(STRINGS ${_pkg}/changelog _changelog_head LIMIT_COUNT 1)
if(NOT _changelog_head MATCHES "^srvlarvek \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog: the first entry is not version ${PROJECT_VERSION}: "
                      "${_changelog_head}")
endif()
foreach(_page docs/man/srvlarvek.8 docs/man/larvek_term.1)
  file(STRINGS ${CMAKE_SOURCE_DIR}/${_page} _title REGEX "^\\.TH ")
  if(NOT _title MATCHES "\"srvlarvek ${PROJECT_VERSION}\"")
    message(FATAL_ERROR "${_page}: the .TH line does not name srvlarvek ${PROJECT_VERSION}: ${_title}")
  endif()
  set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
               ${CMAKE_SOURCE_DIR}/${_page})
endforeach()

# The changelog and the manual pages, compressed as Debian keeps them (gzip -9, no name or
# time stamp in the header, so that the package is the same from build to build).
set(_compressed "")
foreach(_doc ${_pkg}/changelog ${CMAKE_SOURCE_DIR}/docs/man/srvlarvek.8
             ${CMAKE_SOURCE_DIR}/docs/man/larvek_term.1)
  get_filename_component(_name ${_doc} NAME)
  add_custom_command(OUTPUT ${_gen}/${_name}.gz
                     COMMAND ${CMAKE_COMMAND} -E copy ${_doc} ${_gen}/${_name}
                     COMMAND gzip -9nf ${_gen}/${_name}
                     DEPENDS ${_doc} VERBATIM)
  list(APPEND _compressed ${_gen}/${_name}.gz)
endforeach()
add_custom_target(larvek_package_docs ALL DEPENDS ${_compressed})
install(FILES ${_gen}/copyright ${_gen}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${_gen}/srvlarvek.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${_gen}/larvek_term.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${_pkg}/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
        RENAME srvlarvek)
# The samples hold the database password once edited: readable by root and the service group
# only (the postinst registers the group with dpkg-statoverride).
install(FILES ${_pkg}/larvek05.ini DESTINATION ${LARVEK_ETC_DIR}
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ)
install(FILES ${_pkg}/srvlarvek.INI DESTINATION ${LARVEK_ETC_DIR}/srvlarvek
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ)
install(FILES ${_gen}/srvlarvek.service DESTINATION ${LARVEK_UNIT_DIR})
install(FILES ${_gen}/srvlarvek.conf DESTINATION ${LARVEK_TMPFILES_DIR})

set(CPACK_PACKAGE_NAME srvlarvek)
set(CPACK_PACKAGE_VENDOR "srvlarvek developers")
set(LARVEK_MAINTAINER "srvlarvek developers <srvlarvek@example.org>" CACHE STRING
    "Maintainer field of the Debian package: name <mail address>")
set(CPACK_PACKAGE_CONTACT "${LARVEK_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${LARVEK_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Terminal server for data-collection terminals on MariaDB")
set(CPACK_PACKAGE_DESCRIPTION
    "srvlarvek answers barcode readers and other data-collection terminals
on a site network. A terminal sends a command name and up to five
parameters over TCP; the server fills them into the command's SQL
statements, runs them on a MySQL or MariaDB database and sends back one
record per result row. Commands are data: rows of a database table or
sections of the server's INI file. Every connection, request and reply
is written to a daily activity log.
.
The package runs the server without a window as a hardened systemd
service, and holds the terminal client larvek_term for trying requests.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # srvlarvek_<version>_<arch>.deb
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "mariadb-server")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${_gen}/postinst;${_gen}/prerm;${_gen}/postrm;${_gen}/conffiles")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
include(CPack)
