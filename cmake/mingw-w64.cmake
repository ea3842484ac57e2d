# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 (the posix thread model, whose
# runtime DLLs the program ships), against a Qt built for that target:
#   cmake --preset windows          (or -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake)
#       [-DCORVANE_QT_PREFIX=<Qt for Windows>] [-DCORVANE_MQTT_PREFIX=<libmosquitto for Windows>]
#       [-DCORVANE_QCUSTOMPLOT_PREFIX=<QCustomPlot for Windows>]
# scripts/windows.sh builds that Qt, libmosquitto and QCustomPlot and does all of this.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

# The Qt for Windows, libmosquitto with its OpenSSL and QCustomPlot: the ones named, or those
# scripts/windows.sh builds and caches (the versions and revisions in their names are the script's).
if(DEFINED ENV{CORVANE_WIN_CACHE})
    set(corvane_win_cache "$ENV{CORVANE_WIN_CACHE}")
elseif(DEFINED ENV{XDG_CACHE_HOME})
    set(corvane_win_cache "$ENV{XDG_CACHE_HOME}/corvane-win")
else()
    set(corvane_win_cache "$ENV{HOME}/.cache/corvane-win")
endif()
if(NOT CORVANE_QT_PREFIX)
    set(CORVANE_QT_PREFIX "${corvane_win_cache}/qt-5.15.8-mingw-2")
endif()
if(NOT CORVANE_MQTT_PREFIX)
    set(CORVANE_MQTT_PREFIX "${corvane_win_cache}/mqtt-2.0.11-openssl-3.0-mingw-1")
endif()
if(NOT CORVANE_QCUSTOMPLOT_PREFIX)
    set(CORVANE_QCUSTOMPLOT_PREFIX "${corvane_win_cache}/qcustomplot-2.1.0-mingw-1")
endif()

# pkg-config finds libmosquitto for Windows, never the host's.
set(ENV{PKG_CONFIG_LIBDIR} "${CORVANE_MQTT_PREFIX}/lib/pkgconfig")
unset(ENV{PKG_CONFIG_PATH})

# Try-compiles read this file again and need the prefixes too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES CORVANE_QT_PREFIX CORVANE_MQTT_PREFIX
    CORVANE_QCUSTOMPLOT_PREFIX CORVANE_QT_HOST_BINS)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 ${CORVANE_QT_PREFIX} ${CORVANE_MQTT_PREFIX}
    ${CORVANE_QCUSTOMPLOT_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# A Qt built for Windows brings no moc, rcc or uic that run here: the host's Qt 5 tools stand in
# (cmake/qt5hosttools.cmake).
if(NOT CORVANE_QT_HOST_BINS)
    set(CORVANE_QT_HOST_BINS /usr/lib/qt5/bin)
endif()
