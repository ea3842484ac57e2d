# Windows: the programs in one folder with the DLLs they load beside them, as windeployqt lays
# them out for a widgets program using QtSerialPort and QCustomPlot, packed as a zip and an NSIS
# installer.
# scripts/windows.sh checks with objdump that every DLL the installed files import is either
# installed here or a part of Windows, so a change in what the programs link shows there.
install(TARGETS corvane corvane-sim RUNTIME DESTINATION .)

# Qt's libraries, and the plugins Qt loads by name: the platform and the native style.
foreach(module Core Gui Widgets SerialPort PrintSupport)
    install(FILES $<TARGET_FILE:Qt${QT_VERSION_MAJOR}::${module}> DESTINATION .)
endforeach()
install(FILES $<TARGET_FILE:Qt${QT_VERSION_MAJOR}::QWindowsIntegrationPlugin> DESTINATION platforms)
install(FILES $<TARGET_FILE:Qt${QT_VERSION_MAJOR}::QWindowsVistaStylePlugin> DESTINATION styles)

# QCustomPlot, which draws the window's trend (and links Print Support, above), from the prefix
# its package configuration was found in.
install(FILES $<TARGET_FILE:${corvane_plot_target}> DESTINATION .)

# libmosquitto, which corvane-cli publishes with, and the OpenSSL it speaks TLS with, from the
# prefix pkg-config found it in; scripts/windows.sh builds them so into its cache.
foreach(dll libmosquitto.dll libssl-3-x64.dll libcrypto-3-x64.dll)
    install(FILES "${MOSQUITTO_PREFIX}/bin/${dll}" DESTINATION .)
endforeach()

# The compiler's runtime: MinGW's C++ library, unwinder and threads; Visual C++'s redistributable.
if(MINGW)
    get_filename_component(compiler_dir "${CMAKE_CXX_COMPILER}" DIRECTORY)
    foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
        execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
            OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
        # A MinGW on Windows keeps its DLLs beside the compiler, outside its search path.
        if(NOT IS_ABSOLUTE "${path}")
            set(path "${compiler_dir}/${dll}")
        endif()
        if(NOT EXISTS "${path}")
            message(FATAL_ERROR "Cannot find ${dll}, which ${CMAKE_CXX_COMPILER} links against")
        endif()
        install(FILES "${path}" DESTINATION .)
    endforeach()
    # Debian's MinGW runtime carries its debugging information, some 20 MB nobody runs.
    if(CMAKE_STRIP)
        install(CODE "foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
            execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-debug
                \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/\${dll}\")
        endforeach()")
    endif()
else()
    set(CMAKE_INSTALL_SYSTEM_RUNTIME_DESTINATION .)
    include(InstallRequiredSystemLibraries)
endif()

set(CPACK_GENERATOR ZIP NSIS)
set(CPACK_PACKAGE_INSTALL_DIRECTORY Corvane)
# A 64-bit program: C:\Program Files, not the folder for 32-bit ones.
set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
# A 64-bit installer too, so that it runs wherever the program does (a 64-bit-only Wine, say).
set(CPACK_NSIS_DEFINES "Target amd64-unicode")
# The Start-menu shortcut; it shows the program's own icon.
set(CPACK_PACKAGE_EXECUTABLES corvane Corvane)
set(CPACK_NSIS_EXECUTABLES_DIRECTORY .)
set(CPACK_NSIS_DISPLAY_NAME Corvane)
set(CPACK_NSIS_PACKAGE_NAME Corvane)
set(CPACK_NSIS_MUI_ICON ${PROJECT_SOURCE_DIR}/resources/logo.ico)
set(CPACK_NSIS_MUI_UNIICON ${PROJECT_SOURCE_DIR}/resources/logo.ico)
set(CPACK_NSIS_INSTALLED_ICON_NAME corvane.exe)
set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
