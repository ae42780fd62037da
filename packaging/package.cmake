# The Debian package (make package): the binary, the systemd unit, the configuration as a
# conffile, the schema and upgrade SQL, and a postinst that creates the service's user.
include(GNUInstallDirs)

install(TARGETS orvale RUNTIME DESTINATION bin)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/orvale.service DESTINATION /lib/systemd/system)
install(FILES ${PROJECT_SOURCE_DIR}/config/orvale.example.json DESTINATION /etc/orvale
        RENAME orvale.json)
file(GLOB ORVALE_UPGRADE_SQL CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/sql/upgrade*.sql)
install(FILES ${PROJECT_SOURCE_DIR}/sql/schema.sql ${ORVALE_UPGRADE_SQL}
        DESTINATION share/orvale)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION share/doc/orvale)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME orvale)
set(CPACK_PACKAGE_VERSION "0.1.0" CACHE STRING "Version of the Debian package")
set(CPACK_PACKAGE_CONTACT "orvale maintainers <orvale@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "HTTP/JSON gateway between a fuel-ordering aggregator and fuel stations")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON) # debug information stays in the build tree
set(CPACK_DEBIAN_PACKAGE_DEPENDS "passwd")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "postgresql")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_LIST_DIR}/postinst ${CMAKE_CURRENT_LIST_DIR}/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
