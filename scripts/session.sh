#!/usr/bin/env bash
# Starts Corvane attached to a simulated unit, no hardware needed.
#
#   scripts/session.sh CORVANE CORVANE_SIM [--screenshot FILE]
#
# The window lists only ports the platform enumerates, and Linux never enumerates
# pseudo-terminals. So inside a private mount namespace the simulated unit's pseudo-terminal is
# bind-mounted over an existing serial device node (ttyS0, say): the port list shows that port
# and opening it reaches the simulated unit. Nothing outside the namespace changes.
#
# With a display the window opens and the operator does the rest. Without one (no DISPLAY) the
# session runs under Xvfb and is operated as a person would: open the port, wait for readings,
# save a screenshot of the window, print its path and exit.
set -euo pipefail

usage() { echo "usage: $0 CORVANE CORVANE_SIM [--screenshot FILE]" >&2; exit 2; }
[ $# -ge 2 ] || usage
corvane=$(realpath "$1")
sim=$(realpath "$2")
shift 2
screenshot=""
while [ $# -gt 0 ]; do
    case "$1" in
        --screenshot) [ $# -ge 2 ] || usage; screenshot=$(realpath -m "$2"); shift 2 ;;
        *) usage ;;
    esac
done

if [ -z "${DISPLAY:-}" ] && [ -z "${CORVANE_IN_XVFB:-}" ]; then
    [ -n "$screenshot" ] || screenshot="$PWD/corvane-session.png"
    # The window must open on the Xvfb display, whatever platform the caller's environment names.
    # Xvfb claims 100 DPI unless told; a screen at 100 % scale is 96.
    exec env -u QT_QPA_PLATFORM CORVANE_IN_XVFB=1 xvfb-run -a -s "-screen 0 1024x768x24 -dpi 96" \
        "$0" "$corvane" "$sim" --screenshot "$screenshot"
fi

# A serial device node that the platform enumerates, to stand in for.
node=""
for device in /sys/class/tty/ttyS*/device /sys/class/tty/ttyUSB*/device /sys/class/tty/ttyACM*/device; do
    [ -e "$device" ] || continue
    name=$(basename "$(dirname "$device")")
    if [ -c "/dev/$name" ]; then node="/dev/$name"; break; fi
done

# A private mount namespace: as root directly, otherwise inside a user namespace.
namespace=()
if [ -n "$node" ]; then
    if [ "$(id -u)" -eq 0 ] && unshare -m --propagation private true 2>/dev/null; then
        namespace=(unshare -m --propagation private)
    elif unshare -r -m --propagation private true 2>/dev/null; then
        namespace=(unshare -r -m --propagation private)
    fi
fi

workdir=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$workdir"
}
trap cleanup EXIT

"$sim" --trace >"$workdir/unit.log" 2>&1 &
pids+=($!)
for _ in $(seq 50); do
    [ -s "$workdir/unit.log" ] && break
    sleep 0.1
done
pty=$(head -n 1 "$workdir/unit.log")
[ -c "$pty" ] || { echo "error: the simulated unit did not start: $(cat "$workdir/unit.log")" >&2; exit 1; }

if [ ${#namespace[@]} -gt 0 ]; then
    echo "Simulated unit on $pty, listed in the window as $(basename "$node")."
    # The namespace also gets lock files of its own: a stale lock of the stood-in port left by
    # another program would otherwise refuse the port, and the window's lock is nobody else's.
    "${namespace[@]}" sh -c 'mount --bind "$1" "$2" && mount -t tmpfs tmpfs "$3" && shift 3 &&
        exec "$@"' sh "$pty" "$node" "$(readlink -f /var/lock)" "$corvane" &
else
    cat >&2 <<MSG
warning: the simulated unit ($pty) cannot be put into the port list here: this needs a serial
device node to stand in for (none found) and a private mount namespace (root, or unprivileged
user namespaces). The window opens without it. Instead, run corvane-sim --device on one end of a
null-modem cable and open the other end in the window.
MSG
    "$corvane" &
fi
pids+=($!)
corvane_pid=$!

if [ -z "${CORVANE_IN_XVFB:-}" ]; then
    wait "$corvane_pid"
    exit 0
fi

# Headless: operate the window the way an operator would.
[ ${#namespace[@]} -gt 0 ] || { echo "error: no simulated unit to attach to" >&2; exit 1; }
window=""
# Only a mapped window takes the focus; one found before it is mapped fails with BadMatch.
for _ in $(seq 100); do
    window=$(xdotool search --onlyvisible --name '^Corvane$' 2>/dev/null | head -n 1) && [ -n "$window" ] && break
    sleep 0.1
done
[ -n "$window" ] || { echo "error: the Corvane window did not appear" >&2; exit 1; }
# The port list is filled 300 ms after the window shows.
sleep 1
# Focus starts on the port list; the open button is next in the focus chain.
xdotool windowfocus --sync "$window"
xdotool key --window "$window" Tab space

for _ in $(seq 100); do
    grep -q '^-> 2160' "$workdir/unit.log" && break
    sleep 0.1
done
if ! grep -q '^-> 2160' "$workdir/unit.log"; then
    echo "error: no readings appeared: the simulated unit was never asked for measurements." >&2
    sed 's/^/  unit: /' "$workdir/unit.log" >&2
    exit 1
fi
# Calibrate the air temperature: the open button is disabled now, so focus sits on the close
# button; the temperature field is two further on, its calibrate button right after it.
xdotool key --window "$window" Tab Tab
xdotool type --window "$window" "21.5"
xdotool key --window "$window" Tab space
for _ in $(seq 50); do
    grep -q '^-> 2151' "$workdir/unit.log" && break
    sleep 0.1
done
grep -q '^-> 2151' "$workdir/unit.log" || { echo "error: the calibration was not answered" >&2; exit 1; }
# Let the answers reach the labels and the window repaint.
sleep 1.2
import -window "$window" "$screenshot"
echo "$screenshot"
