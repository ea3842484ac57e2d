#!/usr/bin/env bash
# Installs a build into a scratch root and packs it as a Debian package, then checks that both
# hold exactly the programs with their manual pages, the menu entry and the icon, the publishing
# service with its options file, and the copyright and changelog; that the package depends on
# the Qt libraries the binaries link (Qt 5's for the package Corvane ships, Qt 6's for a build
# against Qt 6); that lintian finds no error or warning in it; that installing it runs nothing;
# and that systemd accepts its service unit.
set -euo pipefail
build=$(realpath "$1")
qt=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

expected="etc/default/corvane-publish
usr/bin/corvane
usr/bin/corvane-cli
usr/bin/corvane-sim
usr/lib/systemd/system/corvane-publish.service
usr/share/applications/org.corvane.Corvane.desktop
usr/share/doc/corvane/changelog.gz
usr/share/doc/corvane/copyright
usr/share/icons/hicolor/64x64/apps/org.corvane.Corvane.png
usr/share/man/man1/corvane-cli.1.gz
usr/share/man/man1/corvane-sim.1.gz
usr/share/man/man1/corvane.1.gz"

# The package's prefix, /usr, under a scratch root: the options file goes to /etc then.
root=$scratch/root
DESTDIR=$root cmake --install "$build" --prefix /usr >/dev/null
installed=$(cd "$root" && find . -type f -o -type l | sed 's|^\./||' | sort)
[ "$installed" = "$expected" ] || fail "install tree differs:
$installed"
desktop-file-validate "$root/usr/share/applications/org.corvane.Corvane.desktop" \
    || fail "desktop entry rejected"
file "$root/usr/share/icons/hicolor/64x64/apps/org.corvane.Corvane.png" \
    | grep -q 'PNG image data, 64 x 64' || fail "icon is not a 64x64 PNG"
# The simulated unit's manual page is written by hand: it must follow the options.
sim_page=$(zcat "$root/usr/share/man/man1/corvane-sim.1.gz" | sed 's/\\-/-/g')
for option in $("$root/usr/bin/corvane-sim" --help | grep -o -- '--[a-z-]*' | sort -u); do
    grep -q -- "$option" <<<"$sim_page" || fail "corvane-sim.1 lacks $option"
done

(cd "$scratch" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/pkg" >/dev/null)
deb=$(ls "$scratch"/pkg/corvane_*.deb)
packed=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\.\//, "", $6); print $6 }' | sort)
[ "$packed" = "$expected" ] || fail "package contents differ:
$packed"
depends=$(dpkg-deb -f "$deb" Depends)
for lib in "libqt${qt}core${qt}" "libqt${qt}gui${qt}" "libqt${qt}widgets${qt}" \
    "libqt${qt}serialport${qt}" libc6; do
    grep -q "$lib" <<<"$depends" || fail "Depends lacks $lib: $depends"
done
# No maintainer scripts: the service is neither enabled nor started on installation.
control=$(dpkg-deb --ctrl-tarfile "$deb" | tar -t | sed 's|^\./||' | grep . | sort)
[ "$control" = "conffiles
control
md5sums" ] || fail "control members differ:
$control"
lintian=$(lintian --fail-on error,warning --display-info "$deb" 2>&1) \
    || fail "lintian rejects the package:
$lintian"

# The unit as systemd loads it from the installed package, beside this machine's own units (the
# targets it is ordered after), its manual page looked up in the package. verify exits 0 on an
# unknown key or a bad value and only prints them: any line about the unit fails.
system=$scratch/system
mkdir -p "$system/lib/systemd"
cp -a /lib/systemd/system "$system/lib/systemd/"
dpkg-deb -x "$deb" "$system"
verify=$(MANPATH=$system/usr/share/man systemd-analyze verify --root="$system" \
    /usr/lib/systemd/system/corvane-publish.service 2>&1) \
    && ! grep -q corvane-publish <<<"$verify" || fail "systemd-analyze verify:
$verify"

echo "package $(basename "$deb"): $depends"
grep '^[IP]:' <<<"$lintian" | sed 's/^/lintian /' || true
