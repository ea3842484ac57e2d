#!/usr/bin/env bash
# Builds every test suite with AddressSanitizer, LeakSanitizer and UndefinedBehaviorSanitizer
# and runs them; any report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh

# What the suites need, as for scripts/test.sh: the sanitized build runs the same suites.
corvane_install_packages $CORVANE_BUILD_PACKAGES $CORVANE_HEADLESS_PACKAGES \
    fonts-arphic-ukai binutils-mingw-w64-x86-64 $CORVANE_PACKAGE_CHECK_PACKAGES

cmake --preset asan
cmake --build --preset asan -j"$(nproc)"

# The sanitizers' options are the test presets'. Qt is built without frame pointers, so the fast
# unwinder stops at the first Qt frame; the full one makes reports readable and lets the
# suppressions see where a leak was allocated. Ten frames reach that far and keep the unwinding
# affordable in the soak's hundred thousand packs. The soak bounds the growth of the process's
# peak RSS, which ASan's quarantine of freed memory (256 MB by default) would fill on its own:
# it runs apart, without the quarantine.
status=0
ctest --preset asan || status=1
ctest --preset asan-soak || status=1
exit "$status"
