#!/usr/bin/env bash
# Installs what is missing, builds the program and every test suite against Qt 6 instead of Qt 5,
# warning-free, and runs the suites. The formatting check, the sanitizers and the fuzzing stay
# with the Qt 5 build of scripts/test.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh

# What the suites need, as for scripts/test.sh: the same suites run.
corvane_install_packages $CORVANE_QT6_BUILD_PACKAGES $CORVANE_HEADLESS_PACKAGES \
    fonts-arphic-ukai binutils-mingw-w64-x86-64 $CORVANE_PACKAGE_CHECK_PACKAGES

cmake --preset qt6
cmake --build --preset qt6 -j"$(nproc)"
ctest --preset qt6
