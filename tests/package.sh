#!/usr/bin/env bash
# Installs a build into a scratch prefix and packs it as a Debian package, then checks that both
# hold exactly the program, the command-line program and its manual page, the simulated unit,
# the menu entry and the icon, and that the package depends on the Qt libraries the binaries
# link: Qt 5's for the package Corvane ships, Qt 6's for a build against Qt 6.
set -euo pipefail
build=$(realpath "$1")
qt=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

expected="bin/corvane
bin/corvane-cli
bin/corvane-sim
share/applications/org.corvane.Corvane.desktop
share/icons/hicolor/64x64/apps/org.corvane.Corvane.png
share/man/man1/corvane-cli.1.gz"

cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
installed=$(cd "$scratch/prefix" && find . -type f -o -type l | sed 's|^\./||' | sort)
[ "$installed" = "$expected" ] || fail "install tree differs:
$installed"
desktop-file-validate "$scratch/prefix/share/applications/org.corvane.Corvane.desktop" \
    || fail "desktop entry rejected"
file "$scratch/prefix/share/icons/hicolor/64x64/apps/org.corvane.Corvane.png" \
    | grep -q 'PNG image data, 64 x 64' || fail "icon is not a 64x64 PNG"

(cd "$scratch" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/pkg" >/dev/null)
deb=$(ls "$scratch"/pkg/corvane_*.deb)
packed=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\.\/usr\//, "", $6); print $6 }' | sort)
[ "$packed" = "$expected" ] || fail "package contents differ:
$packed"
depends=$(dpkg-deb -f "$deb" Depends)
for lib in "libqt${qt}core${qt}" "libqt${qt}gui${qt}" "libqt${qt}widgets${qt}" \
    "libqt${qt}serialport${qt}" libc6; do
    grep -q "$lib" <<<"$depends" || fail "Depends lacks $lib: $depends"
done
echo "package $(basename "$deb"): $depends"
