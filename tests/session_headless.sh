#!/usr/bin/env bash
# The README's session without a display: it must reach readings from the simulated unit and
# leave a screenshot of the window.
set -euo pipefail
source_dir=$(realpath "$1")
corvane=$2
sim=$3
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

shot=$(env -u DISPLAY "$source_dir/scripts/session.sh" "$corvane" "$sim" \
    --screenshot "$scratch/session.png" | tail -n 1)
[ "$shot" = "$scratch/session.png" ] || { echo "FAIL: printed '$shot'" >&2; exit 1; }
# The form's 774 x 464 and the menu bar above it.
file "$shot" | grep -Eq 'PNG image data, 774 x (4[7-9][0-9]|50[0-9]),' \
    || { echo "FAIL: $(file "$shot")" >&2; exit 1; }
echo "screenshot: $(file -b "$shot")"
