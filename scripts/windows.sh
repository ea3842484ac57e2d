#!/usr/bin/env bash
# Cross-builds the program for 64-bit Windows, packs a zip and an installer under build/, and proves
# them under Wine against the native simulated unit.
#
#   ./scripts/windows.sh             everything
#   ./scripts/windows.sh toolchain   only the caches: Qt, libmosquitto and QCustomPlot for Windows,
#                                    the Wine 10 root
#   ./scripts/windows.sh wine-check  only the check under Wine, as root in a private mount
#                                    namespace (what the script runs itself)
#   ./scripts/windows.sh wine-root DIR   makes the Wine 10 root in DIR, as root in a private mount
#                                    namespace (what the script runs itself)
#
# It leaves build/windows/corvane-<version>-win64.zip (unzipped, the program runs) and the
# installer build/windows/corvane-<version>-win64.exe, and screenshots of the program under
# Wine in build/windows/corvane-wine.png (the unit's readings, a calibration's verdict and the
# humidity alarm it raises),
# corvane-wine-trend.png (the trend below them: the four curves, humidity's with the
# calibration's step), and at 150 % display scaling in corvane-wine-150.png.
#
# Qt 5.15 for MinGW-w64 (qtbase from Debian's source package, QtSerialPort beside it) is built once
# into a versioned cache outside the tree (CORVANE_WIN_CACHE, by default ~/.cache/corvane-win) and
# reused; the build runs in a scratch folder and the prefix only appears, complete, at its end.
# libmosquitto and OpenSSL, for corvane-cli publish, QCustomPlot, which draws the window's trend,
# and the Debian 13 root file system with Wine 10 that the check runs in are cached the same way
# beside it.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
# The stages, a file each beside their shared helpers (common.sh): sourcing them only defines;
# the end of this script runs them.
. scripts/windows/common.sh
. scripts/windows/qt.sh
. scripts/windows/mqtt.sh
. scripts/windows/qcustomplot.sh
. scripts/windows/wineroot.sh
. scripts/windows/program.sh
. scripts/windows/check.sh

corvane_install_packages g++-mingw-w64-x86-64-posix g++ qtbase5-dev-tools qt5-qmake dpkg-dev make \
    perl python3 xz-utils cmake

if [ "${1:-}" = wine-root ]; then
    make_wine_root "$2"
    exit 0
fi
if [ "${1:-}" = wine-check ]; then
    wine_check
    exit 0
fi
if [ ! -f "$stamp" ]; then
    build_toolchain
fi
if [ ! -f "$mqtt_stamp" ]; then
    build_mqtt
fi
# Built against the Qt above.
if [ ! -f "$qcustomplot_stamp" ]; then
    build_qcustomplot
fi
if [ ! -f "$wine_root_stamp" ]; then
    build_wine_root
fi
if [ "${1:-}" = toolchain ]; then
    exit 0
fi
build_windows
check_files

sudo=()
[ "$(id -u)" -ne 0 ] && sudo=(sudo -E)
"${sudo[@]}" unshare -m --propagation private "$0" wine-check
