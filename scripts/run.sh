#!/usr/bin/env bash
# Installs what is missing, builds the program and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh

# The window's texts are Chinese and ask for a Kai typeface; AR PL UKai is one.
corvane_install_packages $CORVANE_BUILD_PACKAGES fonts-arphic-ukai

cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DCORVANE_TESTS=OFF
cmake --build build/release -j"$(nproc)"
exec build/release/corvane "$@"
