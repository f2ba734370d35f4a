# What `cmake --install` puts on a machine, and the Debian package made of it (scripts/package.sh).
#
# Installed: the program and the simulator, the lab script (as ${datadir}/tarvino/lab), the
# desktop entry, the icon in the hicolor theme, the AppStream metainfo, the manual pages and the
# Wireshark dissector. Tests, benchmarks, fuzz targets and examples install nothing. The package
# installs into /usr whatever the build's CMAKE_INSTALL_PREFIX.
include_guard(GLOBAL)

set(TARVINO_APP_ID "org.tarvino.Tarvino")
# The date of the release PROJECT_VERSION, for the metainfo's release entry.
set(TARVINO_RELEASE_DATE "2026-12-08")
# Wireshark's global Lua plugin folder (tshark -G folders: "Global Lua Plugins"), relative to the
# prefix: Debian's multiarch library folder whatever the prefix, so that any build folder makes the
# same package.
if(CMAKE_LIBRARY_ARCHITECTURE)
    set(wireshark_plugins "lib/${CMAKE_LIBRARY_ARCHITECTURE}/wireshark/plugins")
else()
    set(wireshark_plugins "${CMAKE_INSTALL_LIBDIR}/wireshark/plugins")
endif()
set(TARVINO_WIRESHARK_PLUGIN_DIR "${wireshark_plugins}" CACHE STRING "Where the Wireshark dissector goes, relative to the prefix")

set(packaging "${PROJECT_SOURCE_DIR}/packaging")

install(TARGETS tarvino tarvino-devsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(PROGRAMS "${PROJECT_SOURCE_DIR}/lab/lab" DESTINATION "${CMAKE_INSTALL_DATADIR}/tarvino")

install(FILES "${packaging}/${TARVINO_APP_ID}.desktop" DESTINATION "${CMAKE_INSTALL_DATADIR}/applications")
configure_file("${packaging}/${TARVINO_APP_ID}.metainfo.xml.in"
               "${PROJECT_BINARY_DIR}/packaging/${TARVINO_APP_ID}.metainfo.xml" @ONLY)
install(FILES "${PROJECT_BINARY_DIR}/packaging/${TARVINO_APP_ID}.metainfo.xml"
        DESTINATION "${CMAKE_INSTALL_DATADIR}/metainfo")

# The icon: the drawing, and PNGs rendered from it (packaging/icons/README.md says how).
install(FILES "${packaging}/icons/tarvino.svg"
        DESTINATION "${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps" RENAME "${TARVINO_APP_ID}.svg")
foreach(size 16 24 32 48 64 128 256)
    install(FILES "${packaging}/icons/tarvino-${size}.png"
            DESTINATION "${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps" RENAME "${TARVINO_APP_ID}.png")
endforeach()

# Debian installs manual pages and changelogs compressed (gzip -9n: no name, no time stamp, so
# that two builds make the same bytes).
function(tarvino_gzip_file source output)
    add_custom_command(OUTPUT "${output}" COMMAND gzip -9nc "${source}" > "${output}"
                       DEPENDS "${source}" VERBATIM)
endfunction()
set(compressed "${PROJECT_BINARY_DIR}/packaging/compressed")
file(MAKE_DIRECTORY "${compressed}")
tarvino_gzip_file("${packaging}/man/tarvino.1" "${compressed}/tarvino.1.gz")
tarvino_gzip_file("${packaging}/man/tarvino-devsim.1" "${compressed}/tarvino-devsim.1.gz")
tarvino_gzip_file("${packaging}/debian/changelog" "${compressed}/changelog.gz")
add_custom_target(tarvino-compressed-docs ALL DEPENDS "${compressed}/tarvino.1.gz" "${compressed}/tarvino-devsim.1.gz"
                                                      "${compressed}/changelog.gz")
install(FILES "${compressed}/tarvino.1.gz" "${compressed}/tarvino-devsim.1.gz" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
# The package is tarvino: Debian looks for these under its name, whatever the project is called.
install(FILES "${packaging}/debian/copyright" "${compressed}/changelog.gz" DESTINATION "${CMAKE_INSTALL_DATADIR}/doc/tarvino")

# tarvino-cli's JSON Schema, and its completion where bash-completion and zsh look for it.
install(FILES "${PROJECT_SOURCE_DIR}/docs/tarvino-cli.schema.json" DESTINATION "${CMAKE_INSTALL_DATADIR}/tarvino")
install(FILES "${packaging}/completion/tarvino-cli.bash" DESTINATION "${CMAKE_INSTALL_DATADIR}/bash-completion/completions"
        RENAME tarvino-cli)
install(FILES "${packaging}/completion/_tarvino-cli" DESTINATION "${CMAKE_INSTALL_DATADIR}/zsh/vendor-completions")

install(FILES "${PROJECT_SOURCE_DIR}/tools/wireshark/tarvino.lua" DESTINATION "${TARVINO_WIRESHARK_PLUGIN_DIR}")

# The Ansible collection tarvino.fleet, in the folder where Ansible looks for collections by default.
install(DIRECTORY "${PROJECT_SOURCE_DIR}/ansible/"
        DESTINATION "${CMAKE_INSTALL_DATADIR}/ansible/collections/ansible_collections/tarvino/fleet"
        PATTERN "__pycache__" EXCLUDE PATTERN "examples" EXCLUDE PATTERN "tests/output" EXCLUDE)

# ---- The Debian package -------------------------------------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarvino)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}") # the version the about box's record and --version show
set(CPACK_PACKAGE_VENDOR "The Tarvino developers")
set(CPACK_PACKAGE_CONTACT "The Tarvino developers <maintainers@tarvino.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "finds, configures and upgrades networked field devices")
# The extended description's lines stay under 80 characters (Debian policy 3.4.1).
set(CPACK_PACKAGE_DESCRIPTION
    "Tarvino finds the field devices of the local segment by UDP broadcast (or one\n"
    "by its address over TCP), shows their properties, switches their SSH server,\n"
    "upgrades the communication board over FTP and the controller over its\n"
    "CRC-checked bus, and reads and writes the controller's configuration,\n"
    "diagnostics and logs. tarvino-cli does the same from a terminal or a script.\n"
    "With tarvino-devsim, a simulator of many devices, a lab script of network\n"
    "namespaces, and a Wireshark dissector of the protocol.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT) # tarvino_<version>_<arch>.deb
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Not found by dpkg-shlibdeps: Qt's platform plugins are loaded at run time; `ip` flushes the ARP
# entry (and runs the lab).
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, iproute2")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "tshark | wireshark")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
