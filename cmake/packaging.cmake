# Manual pages, the user guide, and the Debian package built by CPack (cpack -G DEB).

# The manual pages and the changelog compressed as Debian's policy wants them: gzip -9n, which
# records neither name nor time, so that the same sources give the same package.
find_program(ORVENDAL_GZIP gzip REQUIRED)
set(debian ${PROJECT_SOURCE_DIR}/packaging/debian)
set(packaging_files)
foreach(source docs/man/orvendal.1 docs/man/stationctl.1 packaging/debian/changelog)
    cmake_path(GET source FILENAME name)
    set(copy ${CMAKE_BINARY_DIR}/packaging/${name})
    set(input ${PROJECT_SOURCE_DIR}/${source})
    if(source MATCHES "^docs/man/")
        # The pages' examples of --version name the project's version.
        configure_file(${input} ${copy}.in @ONLY)
        set(input ${copy}.in)
    endif()
    add_custom_command(OUTPUT ${copy}.gz
        COMMAND ${CMAKE_COMMAND} -E copy ${input} ${copy}
        COMMAND ${ORVENDAL_GZIP} -9nf ${copy}
        DEPENDS ${input}
        COMMENT "Compressing ${name}")
    list(APPEND packaging_files ${copy}.gz)
endforeach()
add_custom_target(orvendal-packaging-files ALL DEPENDS ${packaging_files})
install(FILES ${CMAKE_BINARY_DIR}/packaging/orvendal.1.gz ${CMAKE_BINARY_DIR}/packaging/stationctl.1.gz
    DESTINATION share/man/man1)
install(FILES ${CMAKE_BINARY_DIR}/packaging/changelog.gz ${debian}/copyright
    ${PROJECT_SOURCE_DIR}/README.md ${debian}/orvendal-alerts.yml DESTINATION share/doc/orvendal)
# The documents the README links to, at the same places beside it as in the source tree, so that
# its links work in /usr/share/doc/orvendal as they do here (check-package.sh checks them).
install(FILES ${PROJECT_SOURCE_DIR}/docs/user-guide.md ${PROJECT_SOURCE_DIR}/docs/performance.md
    ${PROJECT_SOURCE_DIR}/docs/reliability.md ${PROJECT_SOURCE_DIR}/docs/windows.md
    ${PROJECT_SOURCE_DIR}/docs/screenshot.png ${PROJECT_SOURCE_DIR}/docs/web-estaciones.png
    ${PROJECT_SOURCE_DIR}/docs/web-historia.png DESTINATION share/doc/orvendal/docs)
install(FILES ${debian}/lintian-overrides DESTINATION share/lintian/overrides RENAME orvendal)

# The watcher as a service (stationctl watch): its unit, its settings and its user, and a unit of
# which each instance watches one more station file with the settings of a file in
# /etc/orvendal/watch. The package's postinst creates the user and links node_exporter's textfile
# folder to the watcher's textfile through textfile-link, which the further watchers run too; its
# postrm takes the links away.
install(FILES ${debian}/orvendal-watch.service ${debian}/orvendal-watch@.service
    DESTINATION lib/systemd/system)
install(PROGRAMS ${debian}/textfile-link DESTINATION libexec/orvendal)
install(FILES ${debian}/orvendal-watch.sysusers DESTINATION lib/sysusers.d RENAME orvendal.conf)
install(FILES ${debian}/orvendal-watch.default DESTINATION /etc/default RENAME orvendal-watch)
install(FILES ${debian}/watch-README DESTINATION /etc/orvendal/watch RENAME README)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${debian}/postinst ${debian}/prerm ${debian}/postrm
    ${debian}/conffiles ${debian}/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME orvendal)
set(CPACK_PACKAGE_VENDOR "Orvendal developers")
set(CPACK_PACKAGE_CONTACT "Orvendal developers <orvendal@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Monitor of the workstations connected to a station file")
# Debian wants the description's lines under 80 characters.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Shows which workstations of a multi-user application are connected, by\n\
probing the byte-range locks they hold on their records of the shared station\n\
file MARLOVEN.SIT, in one small always-on-top window; looks users up in the\n\
ODBC data source MARLOVEN.\n\
\n\
stationctl makes, edits, holds and shows station files; its watcher, also run\n\
as the service orvendal-watch, journals every connection in SQLite, writes\n\
metrics for Prometheus's node_exporter and runs a command at each change.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The libraries the programs link come from dpkg-shlibdeps; the window also needs Qt's platform
# plugins, which no library links, Qt's translations (its standard buttons in Spanish), and
# libsmbclient, which it loads at the first smb:// path. Its version is the oldest whose symbols
# file has every function we call (the one dpkg-shlibdeps gave while the programs linked it).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "qt6-qpa-plugins, qt6-translations-l10n, libsmbclient (>= 2:4.0.3+dfsg1)")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libsqliteodbc, unixodbc")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "odbc-postgresql, odbc-mariadb, prometheus-node-exporter")
include(CPack)
