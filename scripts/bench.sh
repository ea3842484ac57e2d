#!/usr/bin/env bash
# Installs what is missing, builds the benchmarks (Release) and prints one table of figures
# beside their floors, offscreen and under a virtual X server. Takes about 18 minutes; the
# arguments go to the driver (--quick for a short rehearsal, --only PARTS for some of them,
# --keep to keep every stamp).
# Benchmarks are not tests: nothing here is registered with CTest.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh

# The window's form asks for a Kai typeface, as scripts/run.sh installs; xvfb-run needs xauth.
corvane_install_packages $CORVANE_BUILD_PACKAGES fonts-arphic-ukai xvfb xauth

cmake --preset bench
cmake --build --preset bench -j"$(nproc)"
# The window at 100 % scale, as on most desktops: Xvfb claims 100 DPI unless told.
exec xvfb-run -a -s "-screen 0 1280x1024x24 -dpi 96 -nolisten tcp" build/bench/bench/corvane-bench "$@"
