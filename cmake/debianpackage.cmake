# Linux: besides the programs, the install holds the menu entry, the icon and the manual pages of
# the window and the simulated unit.
install(FILES resources/org.corvane.Corvane.desktop
    DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES resources/corvane.png
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/64x64/apps
    RENAME org.corvane.Corvane.png)

# Compressed as Debian compresses manual pages: best compression, no name or time inside.
foreach(page corvane corvane-sim)
    configure_file(docs/man/${page}.1.in ${page}.1 @ONLY)
endforeach()
set(corvane_gzipped)
foreach(file corvane.1 corvane-sim.1)
    add_custom_command(OUTPUT ${file}.gz
        COMMAND gzip -9 -n -k -f ${file}
        DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/${file}
        VERBATIM)
    list(APPEND corvane_gzipped ${CMAKE_CURRENT_BINARY_DIR}/${file}.gz)
endforeach()
add_custom_target(corvane-documents ALL DEPENDS ${corvane_gzipped})
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/corvane.1.gz ${CMAKE_CURRENT_BINARY_DIR}/corvane-sim.1.gz
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
