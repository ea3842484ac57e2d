#!/usr/bin/env bash
# Installs what is missing, builds the benchmarks (Release) and prints one table of figures
# beside their floors, offscreen and under a virtual X server. Takes about 27 minutes, and a few
# more the first time, to build the window before the trend; the arguments go to the driver
# (--quick for a short rehearsal, --only PARTS for some of them, --keep to keep every stamp).
# Benchmarks are not tests: nothing here is registered with CTest.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh

# The window's form asks for a Kai typeface, as scripts/run.sh installs; xvfb-run needs xauth.
corvane_install_packages $CORVANE_BUILD_PACKAGES fonts-arphic-ukai xvfb xauth

cmake --preset bench
cmake --build --preset bench -j"$(nproc)"

# The window before the trend, which the trend's start-up and memory are held against: main at
# 97b4346 from git, with today's bench/ over it so that both are measured by the same programs,
# built with its own bench preset into build/baseline/build/bench.
baseline=97b4346
baseline_options=()
if git rev-parse -q --verify "$baseline^{commit}" >/dev/null; then
    if [ "$(cat build/baseline/.commit 2>/dev/null)" != "$baseline" ]; then
        rm -rf build/baseline
        mkdir -p build/baseline
        git archive "$baseline" | tar -x -C build/baseline
        echo "$baseline" >build/baseline/.commit
    fi
    # Copied with their times, so that unchanged programs are not built again.
    rm -rf build/baseline/bench
    cp -a bench build/baseline/bench
    (cd build/baseline && cmake --preset bench >/dev/null &&
        cmake --build --preset bench -j"$(nproc)" --target bench_startup_corvane bench_fill_window)
    baseline_options=(--baseline "build/baseline/build/bench/bench" --baseline-name "$baseline")
else
    echo "bench.sh: no commit $baseline in this checkout; the trend's start-up and memory rows need it" >&2
fi

# The window at 100 % scale, as on most desktops: Xvfb claims 100 DPI unless told.
exec xvfb-run -a -s "-screen 0 1280x1024x24 -dpi 96 -nolisten tcp" build/bench/bench/corvane-bench \
    "${baseline_options[@]}" "$@"
