# Manual pages, the user guide, and the Debian package built by CPack (cpack -G DEB).
install(FILES ${PROJECT_SOURCE_DIR}/docs/man/orvendal.1 ${PROJECT_SOURCE_DIR}/docs/man/stationctl.1
    DESTINATION share/man/man1)
install(FILES ${PROJECT_SOURCE_DIR}/docs/user-guide.md ${PROJECT_SOURCE_DIR}/README.md
    ${PROJECT_SOURCE_DIR}/packaging/orvendal-alerts.yml DESTINATION share/doc/orvendal)

# The watcher as a service (stationctl watch): its unit, its settings and its user. The package's
# postinst creates the user and links node_exporter's textfile folder to the watcher's textfile;
# its postrm takes the link away.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/orvendal-watch.service DESTINATION lib/systemd/system)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/orvendal-watch.sysusers DESTINATION lib/sysusers.d
    RENAME orvendal.conf)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/orvendal-watch.default DESTINATION /etc/default
    RENAME orvendal-watch)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/postinst ${PROJECT_SOURCE_DIR}/packaging/prerm
    ${PROJECT_SOURCE_DIR}/packaging/postrm ${PROJECT_SOURCE_DIR}/packaging/conffiles
    ${PROJECT_SOURCE_DIR}/packaging/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME orvendal)
set(CPACK_PACKAGE_VENDOR "Orvendal developers")
set(CPACK_PACKAGE_CONTACT "Orvendal developers <orvendal@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Monitor of the workstations connected to a station file")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Shows which workstations of a multi-user application are connected, by probing the\n\
byte-range locks they hold on their records of the shared station file MARLOVEN.SIT, in one\n\
small always-on-top window; looks users up in the ODBC data source MARLOVEN.")
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
