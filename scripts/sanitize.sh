#!/usr/bin/env bash
# Builds every test suite with AddressSanitizer, LeakSanitizer and UndefinedBehaviorSanitizer
# and runs them; any report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh

# What the suites need, as for scripts/test.sh: the sanitized build runs the same suites.
corvane_install_packages $CORVANE_BUILD_PACKAGES $CORVANE_HEADLESS_PACKAGES \
    fonts-arphic-ukai binutils-mingw-w64-x86-64 desktop-file-utils dpkg-dev file

cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_SANITIZE=ON -DCORVANE_WERROR=ON
cmake --build build/asan -j"$(nproc)"

# Qt is built without frame pointers, so the fast unwinder stops at the first Qt frame; the full
# one makes reports readable and lets the suppressions see where a leak was allocated. Ten
# frames reach that far and keep the unwinding affordable in the soak's hundred thousand packs.
export ASAN_OPTIONS="detect_leaks=1:fast_unwind_on_malloc=0:malloc_context_size=10:detect_stack_use_after_return=1:check_initialization_order=1"
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

status=0
ctest --test-dir build/asan --output-on-failure -E '^tst_soak$' || status=1
# The soak bounds the growth of the process's peak RSS, which ASan's quarantine of freed memory
# (256 MB by default) would fill on its own; without it the soak measures the program again.
ASAN_OPTIONS="$ASAN_OPTIONS:quarantine_size_mb=0:thread_local_quarantine_size_kb=0" \
    ctest --test-dir build/asan --output-on-failure --no-tests=error -R '^tst_soak$' || status=1
exit "$status"
