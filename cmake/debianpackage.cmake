# Linux: besides the programs, the menu entry and the icon, the install holds the manual pages
# of the window and the simulated unit, the publishing service with its options file, and the
# licence and history a Debian package carries; CPack packs the same tree as a .deb that lintian
# accepts (tests/package.sh).
set(corvane_packaging ${PROJECT_SOURCE_DIR}/resources)

install(FILES resources/org.corvane.Corvane.desktop
    DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES resources/corvane.png
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/64x64/apps
    RENAME org.corvane.Corvane.png)

# A release is a changelog entry: the newest one must carry the project's version.
file(STRINGS ${corvane_packaging}/debian/changelog corvane_changelog_head LIMIT_COUNT 1)
if(NOT corvane_changelog_head MATCHES "^corvane \\(${PROJECT_VERSION}\\) ")
    message(FATAL_ERROR "resources/debian/changelog does not start with an entry for "
        "${PROJECT_VERSION}: ${corvane_changelog_head}")
endif()

# Compressed as Debian compresses documentation: best compression, no name or time inside.
foreach(page corvane corvane-sim)
    configure_file(docs/man/${page}.1.in ${page}.1 @ONLY)
endforeach()
configure_file(${corvane_packaging}/debian/changelog changelog COPYONLY)
set(corvane_gzipped)
foreach(file corvane.1 corvane-sim.1 changelog)
    add_custom_command(OUTPUT ${file}.gz
        COMMAND gzip -9 -n -k -f ${file}
        DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/${file}
        VERBATIM)
    list(APPEND corvane_gzipped ${CMAKE_CURRENT_BINARY_DIR}/${file}.gz)
endforeach()
add_custom_target(corvane-documents ALL DEPENDS ${corvane_gzipped})
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/corvane.1.gz ${CMAKE_CURRENT_BINARY_DIR}/corvane-sim.1.gz
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# A package made here is native: its changelog is changelog.gz, not changelog.Debian.gz.
install(FILES ${corvane_packaging}/debian/copyright ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/corvane)

install(FILES ${corvane_packaging}/systemd/corvane-publish.service
    DESTINATION lib/systemd/system)
# The unit reads its options from /etc/default, where the package (prefix /usr) puts them. Other
# prefixes keep their own etc, as GNUInstallDirs would, decided when installing: cpack installs
# into /usr whatever the build was configured with.
install(CODE "if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
        set(corvane_etc /etc)
    else()
        set(corvane_etc \"\${CMAKE_INSTALL_PREFIX}/etc\")
    endif()
    file(INSTALL \"${corvane_packaging}/systemd/corvane-publish.default\"
        DESTINATION \"\${corvane_etc}/default\" TYPE FILE RENAME corvane-publish)")

set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
# Dependencies come from the binaries themselves.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The window's texts are Chinese and ask for a Kai typeface.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-arphic-ukai")
# Lines of at most 80 characters, as apt shows them.
string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Reads air temperature, humidity, air pressure and oil temperature once a\n"
    "second, calibrates each channel and resets the unit to its factory settings.\n"
    "\n"
    "Includes corvane-cli, which finds the unit, logs its readings to CSV or JSON\n"
    "lines and calibrates it with a record; the service corvane-publish, which\n"
    "publishes the readings of every unit on the machine to an MQTT broker (not\n"
    "enabled on installation); and corvane-sim, a simulated unit for\n"
    "demonstrations and tests.")
# An administrator's options survive upgrades.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${corvane_packaging}/debian/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# Stripped (CPACK_STRIP_FILES) as dh_strip strips: without the compilers' version strings,
# which the C runtime's start files bring along even where the program's own objects carry none.
# The programs are installed by then: src/cli and the top level install them before this file.
install(CODE "if(CMAKE_INSTALL_DO_STRIP)
    foreach(program corvane corvane-cli corvane-sim)
        execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
            --remove-section=.note \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/\${program}\"
            COMMAND_ERROR_IS_FATAL ANY)
    endforeach()
endif()")
