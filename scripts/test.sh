#!/usr/bin/env bash
# Installs what is missing, checks the formatting, builds warning-free and runs every test suite,
# then runs them again under the sanitizers and fuzzes the link and the decoding for a minute.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh

corvane_install_packages $CORVANE_BUILD_PACKAGES $CORVANE_HEADLESS_PACKAGES \
    fonts-arphic-ukai binutils-mingw-w64-x86-64 clang-format $CORVANE_PACKAGE_CHECK_PACKAGES

find src sim tests bench fuzz -name '*.cpp' -o -name '*.h' | sort | xargs clang-format --dry-run --Werror

# The builds are CMakePresets.json's.
cmake --preset test
cmake --build --preset test -j"$(nproc)"
# The suites mostly wait for timers, the line and the broker: five at a time (the preset's), of
# which at most two time the window or load the cores (tests/cores.json), so that their timing
# checks hold as with two suites on two cores.
ctest --preset test

./scripts/sanitize.sh
./scripts/fuzz.sh 60
