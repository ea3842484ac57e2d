#!/usr/bin/env bash
# Builds the libFuzzer harness of the link and the window's decoding and fuzzes it for the given
# number of seconds (default 60). Exits non-zero on any finding; the input that caused it is kept
# under build/fuzz/findings/; to run it again:
#   LSAN_OPTIONS=suppressions=fuzz/lsan.supp build/fuzz/fuzz/corvane-fuzz FILE
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh

seconds="${1:-60}"

corvane_install_packages $CORVANE_BUILD_PACKAGES clang libclang-rt-14-dev

cmake --preset fuzz
cmake --build --preset fuzz -j"$(nproc)"

# The fuzzer adds what it finds to its corpus; it works on a copy so that the committed seeds
# stay small and reviewed.
corpus="$(mktemp -d)"
trap 'rm -rf "$corpus"' EXIT
cp fuzz/corpus/* "$corpus"
mkdir -p build/fuzz/findings

# Leaks are checked after every input that allocated more than it freed, and once more at exit.
# A line per corpus addition would bury the result; the periodic and final lines remain.
ASAN_OPTIONS="detect_leaks=1:${ASAN_OPTIONS:-}" \
LSAN_OPTIONS="suppressions=$PWD/fuzz/lsan.supp:print_suppressions=0" \
    build/fuzz/fuzz/corvane-fuzz "$corpus" \
    -dict=fuzz/link.dict \
    -max_total_time="$seconds" \
    -max_len=1024 \
    -timeout=10 \
    -print_final_stats=1 \
    -artifact_prefix="$PWD/build/fuzz/findings/" 2>&1 \
    | grep -vE '^#[0-9]+[[:space:]]+(NEW|REDUCE)[[:space:]]'
