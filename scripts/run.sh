#!/usr/bin/env bash
# Installs what is missing, builds the program and the simulated unit, and starts a session of
# the two: the window lists the simulated unit's port and shows its readings once opened.
# Without a display the session runs headless and leaves a screenshot (see scripts/session.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh

# The window's texts are Chinese and ask for a Kai typeface; AR PL UKai is one.
packages="$CORVANE_BUILD_PACKAGES fonts-arphic-ukai"
[ -n "${DISPLAY:-}" ] || packages="$packages $CORVANE_HEADLESS_PACKAGES"
corvane_install_packages $packages

cmake --preset release
cmake --build --preset release -j"$(nproc)"
exec scripts/session.sh build/release/corvane build/release/sim/corvane-sim "$@"
