# The Debian package: `cpack -G DEB` in the build folder (or the `package` target) makes
# vantorel_<version>_<arch>.deb from the install rules, with its dependencies read from the
# shared libraries the program links.
find_program(VANTOREL_GZIP gzip REQUIRED)
# Packing installs what has been built; it does not build every target first (a build tree that
# made only the program and its documents can still be packed).
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(_doc ${PROJECT_BINARY_DIR}/package-doc)
file(MAKE_DIRECTORY ${_doc})
# Compressed the way Debian wants them: gzip -9, no name or time stamp inside.
foreach(_pair "docs/vantorel.1|vantorel.1.gz" "packaging/changelog|changelog.Debian.gz")
    string(REPLACE "|" ";" _pair "${_pair}")
    list(GET _pair 0 _from)
    list(GET _pair 1 _to)
    add_custom_command(OUTPUT ${_doc}/${_to}
        COMMAND ${VANTOREL_GZIP} -9 -n -c ${PROJECT_SOURCE_DIR}/${_from} > ${_doc}/${_to}
        DEPENDS ${PROJECT_SOURCE_DIR}/${_from} VERBATIM)
    list(APPEND _compressed ${_doc}/${_to})
endforeach()
add_custom_target(vantorel_package_doc ALL DEPENDS ${_compressed})

install(FILES ${_doc}/vantorel.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${_doc}/changelog.Debian.gz ${PROJECT_SOURCE_DIR}/packaging/copyright
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/vantorel)
install(FILES ${PROJECT_SOURCE_DIR}/resources/com.zephrasoftware.Vantorel.metainfo.xml
    DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${PROJECT_SOURCE_DIR}/resources/vantorel-probe.service
    DESTINATION lib/systemd/user)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vantorel)
set(CPACK_PACKAGE_VENDOR "Zephra Software")
set(CPACK_PACKAGE_CONTACT "Zephra Software <vantorel@zephra-software.example>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://zephra-software.example/vantorel/")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# setcap grants the ICMP helper its one capability on install (see postinst).
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libcap2-bin")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "desktop network monitor with live ping graphs")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Vantorel pings a set of hosts at a fixed period and shows each one live: a
graph tile per host, uptime and round trips, a sortable list, named groups,
friendly names, per-host logs with a history window and CSV export, and
alerts with a tray icon, over IPv4 and IPv6.

Without a desktop it runs as a headless probe (a systemd user unit is
included) whose metrics Prometheus scrapes.")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
