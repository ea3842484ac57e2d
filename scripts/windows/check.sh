# The check of the Windows programs under Wine 10, as root in a private mount namespace
# (windows.sh wine-check).

# Waits up to $1 tenths of a second for the command after it to succeed.
wait_for() {
    local tries=$1
    shift
    for _ in $(seq "$tries"); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}

corvane_window() {
    xdotool search --onlyvisible --name '^Corvane$' 2>/dev/null | head -n 1
}

window_shown() {
    [ -n "$(corvane_window)" ]
}

# A window's size, as 774x464.
window_size() {
    xdotool getwindowgeometry "$1" | sed -n 's/^ *Geometry: //p'
}

# Windows' display scaling in dots per inch (96 is 100 %), for the programs started after it.
set_dpi() {
    wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$1" /f >>"$scratch/wineboot.log" 2>&1
    # Ends every program of this prefix, so that all start afresh with it.
    wineserver -k || true
    wineserver -w || true
}

# Runs the console program $1 with the other arguments, its output in $scratch/cli-out.log.
run_console() {
    timeout 60 wine "$@" </dev/null >"$scratch/cli-out.log" 2>>"$scratch/cli.log"
}

# A path of this machine as Windows programs under Wine see it.
windows_path() {
    local path
    path=$(realpath "$1")
    printf 'Z:%s' "${path//\//\\}"
}

# The form's top in the window at 100 %: the menu bar above it. The form is 464 high.
form_top=0

# The mean grey of a box of the form in a window (WxH+X+Y of the form's 100 % layout), from a
# screenshot (some 20 ms): it changes when something is drawn into an empty label or list.
box_look() {
    local box=$2
    import -window "$1" -crop "${box%+*}+$((${box##*+} + form_top))" +repage -colorspace gray \
        -format '%[fx:mean]' info:
}

# The port list's box.
port_box() {
    box_look "$1" 100x40+18+104
}

# The trend's curves and their colours (2 px lines): air temperature, humidity, pressure, oil
# temperature.
trend_curves=(air-temperature:#D55E00 humidity:#0072B2 pressure:#009E73 oil-temperature:#CC79A7)

# The most pixels of the colour $3 in one row of the screenshot $1 (the window, $2 wide) below its
# row $4, the trend's $5 rows. A row: the legend's sample of a curve is 32 pixels wide.
colour_row() {
    convert "$1" -alpha off -crop "+0+$4" +repage -fuzz 8% -fill black +opaque "$3" \
        -fill white -opaque "$3" -scale "1x$5!" -format "%[fx:round(maxima * $2)]" info:
}

# Whether the screenshot $1 of the window $2, grown below its row $3, shows every curve of the
# trend, each at least $trend_pixels pixels of its colour in one row; the counts in $trend_counts.
trend_drawn() {
    import -window "$2" "$1"
    local curve pixels shown=0 size
    size=$(window_size "$2")
    trend_counts=""
    for curve in "${trend_curves[@]}"; do
        pixels=$(colour_row "$1" "${size%x*}" "${curve#*:}" "$3" $((${size#*x} - $3)))
        trend_counts+="${trend_counts:+, }${curve%%:*} $pixels"
        ((pixels >= trend_pixels)) && shown=$((shown + 1))
    done
    ((shown == ${#trend_curves[@]}))
}

# Whether the window $1 is higher than $2 (WxH).
window_taller() {
    local size
    size=$(window_size "$1")
    ((${size#*x} > ${2#*x}))
}

# Whether the window $1 is $2 (WxH).
window_is() {
    [ "$(window_size "$1")" = "$2" ]
}

# A reading of the unit in tenths, as corvane-cli writes it (21.5, -0.5).
tenths_text() {
    local tenths=$1 sign=""
    if ((tenths < 0)); then
        sign=-
        tenths=$((-tenths))
    fi
    echo "$sign$((tenths / 10)).$((tenths % 10))"
}

# The four readings of the unit's latest full answer (command 60) in its trace, as a CSV row's
# values: air temperature, humidity, pressure, oil temperature.
unit_readings() {
    local answer field value values=()
    answer=$(grep '^-> 2160' "$scratch/unit.log" | tail -n 1)
    answer=${answer#-> }
    for field in 6 10 14 18; do
        value=$((16#${answer:field:4}))
        ((value < 32768)) || value=$((value - 65536))
        values+=("$(tenths_text "$value")")
    done
    (IFS=,; echo "${values[*]}")
}

# A simulated unit on a new pseudo-terminal, mapped as COM1 (which Wine reads when it starts):
# its trace in $scratch/unit.log, its process in $unit.
start_unit() {
    [ -f "$scratch/unit.log" ] && cat "$scratch/unit.log" >>"$scratch/units-before.log"
    "$PWD/build/release/sim/corvane-sim" --trace --no-drift >"$scratch/unit.log" 2>&1 &
    unit=$!
    pids+=("$unit")
    wait_for 50 test -s "$scratch/unit.log" || fail "the simulated unit did not start"
    wine reg add 'HKLM\Software\Wine\Ports' /v COM1 /t REG_SZ /d "$(head -n 1 "$scratch/unit.log")" /f \
        >>"$scratch/wineboot.log" 2>&1
    wineserver -k || true
    wineserver -w || true
}

# Stops the simulated unit, which closes its pseudo-terminal as an unplugged adapter vanishes.
stop_unit() {
    kill "$unit"
    wait "$unit" 2>/dev/null || true
}

# Counts the lines of $2 that match the pattern $1.
count_lines() {
    grep -c -- "$1" "$2" || true
}

# Whether at least $3 lines of $2 match the pattern $1.
lines_at_least() {
    [ "$(count_lines "$1" "$2")" -ge "$3" ]
}

# Whether the box $2 of the window $1 no longer looks as $3.
box_changed() {
    [ "$(box_look "$1" "$2")" != "$3" ]
}

# A trace line's time of day (hh:mm:ss.zzz) in milliseconds.
day_msecs() {
    local hours minutes seconds
    IFS=: read -r hours minutes seconds <<<"$1"
    echo $(((10#$hours * 60 + 10#$minutes) * 60000 + 10#${seconds%.*} * 1000 + 10#${seconds#*.}))
}

# Clicks at a point of the form in a window, given as X Y of the form's 100 % layout.
click_at() {
    xdotool mousemove --window "$1" "$2" $(($3 + form_top)) click 1
}

# The Wine 10 root for this check: the cached root under a throwaway writable layer, with the
# project tree, the Qt, QCustomPlot and compiler runtime the suites load, this check's scratch
# folder and the X server's socket bound in at the same paths, and a /dev of its own with only the
# basic nodes and this namespace's pseudo-terminals (no serial nodes, which Wine would map as COM
# ports too, and opening those can block inside QSerialPort::open). "wine" and "wineserver" run in
# it, for this script and for ctest (the windows preset's emulator is "wine"), with the modem-line
# library (ptymodemlines.c beside this file) preloaded into every Wine process and into nothing
# else.
enter_wine_root() {
    local root=$scratch/root layer=$scratch/layer path node modem_lines=$scratch/libptymodemlines.so
    # The writable layer in memory: an overlay cannot be written to on every file system, and
    # Wine writes little there (its server's socket), its prefix being bound in.
    mkdir "$root" "$layer"
    mount -t tmpfs tmpfs "$layer"
    mkdir "$layer/upper" "$layer/work"
    mount -t overlay overlay -o "lowerdir=$wine_root,upperdir=$layer/upper,workdir=$layer/work" "$root"
    for path in "$PWD" "$prefix" "$qcustomplot_prefix" "$scratch" /tmp/.X11-unix; do
        mkdir -p "$root$path"
        mount --bind "$path" "$root$path"
    done
    mount -t proc proc "$root/proc"
    mount --rbind /sys "$root/sys"
    mount -t tmpfs -o mode=755 tmpfs "$root/dev"
    for node in null zero full random urandom tty; do
        touch "$root/dev/$node"
        mount --bind "/dev/$node" "$root/dev/$node"
    done
    mkdir "$root/dev/pts" "$root/dev/shm"
    mount --bind /dev/pts "$root/dev/pts"
    ln -s pts/ptmx "$root/dev/ptmx"
    mount -t tmpfs tmpfs "$root/dev/shm"

    # Built here, where it is used: only this check needs it, and the scratch folder is bound in.
    cc -shared -fPIC -O2 -Wall -Wextra -Werror -o "$modem_lines" scripts/windows/ptymodemlines.c -ldl
    mkdir "$scratch/bin"
    printf '#!/bin/bash\nexec chroot %q /usr/bin/env PATH=/usr/bin:/bin LD_PRELOAD=%q "${0##*/}" "$@"\n' \
        "$root" "$modem_lines" >"$scratch/bin/wine"
    chmod +x "$scratch/bin/wine"
    ln -s wine "$scratch/bin/wineserver"
    export PATH=$scratch/bin:$PATH
}

# Under Wine 10, in a private mount namespace (see windows.sh): the suites, the programs from the
# unzipped zip against the native simulated unit on COM1, then the installer.
wine_check() {
    # Not local: the exit trap still needs them.
    scratch=$(mktemp -d)
    pids=()
    export WINEPREFIX=$scratch/wine WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml='
    cleanup() {
        wineserver -k 2>/dev/null || true
        for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
        wait 2>/dev/null || true
        # Unmounted first, so that nothing of the bound trees is removed with the scratch folder.
        umount -lR "$scratch/root" 2>/dev/null || true
        umount -l "$scratch/layer" 2>/dev/null || true
        rm -rf --one-file-system "$scratch"
    }
    trap cleanup EXIT
    fail() {
        echo "FAIL: $*" >&2
        for log in "$scratch"/*.log; do sed "s|^|  $(basename "$log" .log): |" "$log" >&2; done
        exit 1
    }

    # Pseudo-terminals of this namespace's own: no other program on the machine can open the
    # simulated unit's and take its answers.
    mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts /dev/pts
    mount --bind /dev/pts/ptmx /dev/ptmx

    # Room for the window at 200 % display scaling.
    Xvfb -displayfd 3 -screen 0 1920x1200x24 -nolisten tcp 3>"$scratch/display" 2>/dev/null &
    pids+=($!)
    wait_for 100 test -s "$scratch/display" || fail "Xvfb did not start"
    export DISPLAY=:$(head -n 1 "$scratch/display")
    enter_wine_root

    wine wineboot --init >"$scratch/wineboot.log" 2>&1
    start_unit

    # The suites built for Windows (those that need no pseudo-terminal), on the offscreen platform,
    # with Qt and the compiler's runtime found where they were built.
    mkdir "$scratch/runtime"
    cp "$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libstdc++-6.dll)")"/*.dll \
        /usr/x86_64-w64-mingw32/lib/*.dll "$scratch/runtime"
    WINEPATH="$(windows_path "$prefix/bin");$(windows_path "$qcustomplot_prefix/bin");$(windows_path "$scratch/runtime")" \
        WINEQT_PLUGIN_PATH=$(windows_path "$prefix/plugins") WINEQT_QPA_PLATFORM=offscreen \
        ctest --test-dir "$build" --output-on-failure >"$scratch/suites.log" 2>&1 \
        || fail "the suites failed under Wine"
    echo "suites under Wine 10: $(grep 'tests passed' "$scratch/suites.log")"

    mkdir "$scratch/zip"
    (cd "$scratch/zip" && cmake -E tar xf "$(ls "$build"/corvane-*-win64.zip)")
    local program
    program=$(ls "$scratch"/zip/corvane-*-win64/corvane.exe)

    # The trend's shortest span, one minute, as an operator's choice leaves it in the settings:
    # over the default ten minutes, the check's twenty seconds of readings would draw curves
    # shorter than the legend's samples.
    wine reg add 'HKCU\Software\Corvane\corvane\trend' /v span /t REG_DWORD /d 60 /f >>"$scratch/wineboot.log" 2>&1
    # A humidity alarm as the limits dialog leaves it in the settings: below 45.2 %RH, at once.
    # The unit starts at 45.3; the calibration to 45.0 below raises it.
    local value
    for value in enabled:true low:45.2 high: hysteresis:0.0 delay:0; do
        wine reg add 'HKCU\Software\Corvane\corvane\alarms\humidity' /v "${value%%:*}" /t REG_SZ \
            /d "${value#*:}" /f >>"$scratch/wineboot.log" 2>&1
    done
    # Wine passes no QT_ variables to Windows programs; WINEQT_ ones arrive without the prefix.
    WINEQT_FORCE_STDERR_LOGGING=1 wine "$program" >"$scratch/corvane.log" 2>&1 &
    pids+=($!)
    disown
    local window started shown
    started=$(date +%s%N)
    wait_for 300 window_shown || fail "the Corvane window did not appear"
    window=$(corvane_window)
    shown=$(date +%s%N)
    echo "window shown $(((shown - started) / 1000000)) ms after the start"
    local size
    size=$(window_size "$window")
    form_top=$((${size#*x} - 464))
    ((form_top >= 0 && form_top < 60)) || fail "the window is $size, not the form's 774x464 and a menu bar"
    # The port list is filled 300 ms after the window shows: watch the list's box change, from
    # its look once the first paint has settled (two looks alike), not from a half-drawn one.
    local empty listed="" look
    empty=$(port_box "$window")
    for _ in $(seq 20); do
        look=$(port_box "$window")
        [ "$look" = "$empty" ] && break
        empty=$look
    done
    for _ in $(seq 150); do
        if [ "$(port_box "$window")" != "$empty" ]; then
            listed=$(date +%s%N)
            break
        fi
    done
    # Unchanged, it was filled before the first look (a slow start); opening COM1 below tells.
    if [ -n "$listed" ]; then
        echo "a port listed $(((listed - shown) / 1000000)) ms after the window was found"
    fi
    # The empty value labels and humidity's result label, to tell later that something was
    # written into them.
    local label labels=(90x30+248+92 90x30+248+182 90x30+248+272 90x30+248+362) results=(100x30+658+182) blank=()
    for label in "${labels[@]}" "${results[@]}"; do
        blank+=("$(box_look "$window" "$label")")
    done
    # Focus starts on the port list; the open button is next in the focus chain.
    xdotool windowfocus --sync "$window"
    xdotool key --window "$window" Tab space
    wait_for 100 grep -qE 'open: (true|false)' "$scratch/corvane.log"
    if grep -q 'open: false' "$scratch/corvane.log"; then
        # Pressed before the list was filled, as an operator may: answer the failure box and
        # press again, as the operator would.
        echo "opened too early (empty list); answering the box and pressing again"
        sleep 1
        xdotool key Return
        sleep 1
        xdotool windowfocus --sync "$window"
        xdotool key --window "$window" space
    fi
    wait_for 100 grep -q 'open: true' "$scratch/corvane.log" || fail "COM1 did not open"
    wait_for 50 grep -q '^<- 21630379' "$scratch/unit.log" || fail "the greeting did not reach the unit"
    echo "COM1 open; the unit received: $(grep -m1 '^<- 21630379' "$scratch/unit.log")"

    # The answer to the greeting is received and decoded: only that starts the polling, whose
    # requests reach the unit once a second and whose answers the window traces and shows.
    wait_for 50 grep -q '^----- "2163' "$scratch/corvane.log" \
        || fail "the window received no answer to its greeting"
    wait_for 150 lines_at_least '^----- "2160' "$scratch/corvane.log" 4 \
        || fail "the window did not receive four answers to its polling"
    grep -A1 -m1 '^<- 21630379' "$scratch/unit.log" | grep -q '^-> 2163' \
        || fail "the unit was polled before it answered the greeting"
    local times first last ticks
    times=$(tr -d '\r' <"$scratch/corvane.log" | sed -n 's/^----- "2150[0-9A-F]*" "\(.*\)"$/\1/p')
    ticks=$(($(wc -l <<<"$times") - 1))
    first=$(day_msecs "$(head -n 1 <<<"$times")")
    last=$(day_msecs "$(tail -n 1 <<<"$times")")
    # Past midnight.
    ((last >= first)) || last=$((last + 86400000))
    ((ticks >= 3 && (last - first) >= ticks * 900 && (last - first) <= ticks * 1250)) \
        || fail "the polling answers came $((last - first)) ms apart over $ticks ticks, not once a second"
    echo "polling: the unit received $(count_lines '^<- 2150038C' "$scratch/unit.log") × 2150038C" \
        "and $(count_lines '^<- 2160037C' "$scratch/unit.log") × 2160037C; the window received" \
        "one answer every $(((last - first) / ticks)) ms, the last: $(grep '^----- "2160' "$scratch/corvane.log" | tail -n 1)"
    local i
    for i in 0 1 2 3; do
        box_changed "$window" "${labels[i]}" "${blank[i]}" || fail "reading $((i + 1)) is not shown in the window"
    done

    # A calibration typed and pressed in the window reaches the unit, whose answer (success)
    # shows its verdict.
    click_at "$window" 445 197
    xdotool type --window "$window" 45.0
    click_at "$window" 560 197
    wait_for 50 grep -q '^<- 215205' "$scratch/unit.log" || fail "the calibration did not reach the unit"
    wait_for 50 grep -q '^----- "2152' "$scratch/corvane.log" || fail "the window received no calibration answer"
    wait_for 20 box_changed "$window" "${results[0]}" "${blank[4]}" || fail "no verdict is shown"
    echo "calibration pressed in the window; the unit received $(grep -m1 '^<- 215205' "$scratch/unit.log")" \
        "and answered $(grep -m1 '^-> 2152' "$scratch/unit.log")"
    # The humidity alarm: a line under the form grows the window, and the log keeps the event.
    wait_for 50 window_taller "$window" "$size" \
        || fail "no alarm line under the form after the humidity fell below its limit"
    local alarm_log
    alarm_log=$(find "$WINEPREFIX/drive_c/users" -name alarms.jsonl | head -n 1)
    [ -n "$alarm_log" ] && grep -q '"channel":"humidity_rh","event":"raised","value":45.0,"limit":45.2' "$alarm_log" \
        || fail "alarms.jsonl does not hold the humidity alarm: $(cat "$alarm_log" 2>/dev/null)"
    echo "alarm raised: the window $size → $(window_size "$window"); ${alarm_log#"$WINEPREFIX/"}: $(cat "$alarm_log")"
    sleep 1.5
    import -window "$window" "$build/corvane-wine.png"
    echo "screenshot: $build/corvane-wine.png ($(file -b "$build/corvane-wine.png"))"
    local plain
    plain=$(window_size "$window")
    wine_cpu

    # Ctrl+T (视图 → 趋势图) shows the trend below the form, the window growing downward, with its
    # four curves in their colours; Ctrl+T hides it again, the window as before. After the
    # calibration, not before: the unit's readings stay fixed, and humidity and pressure, each
    # alone on an axis fitted to it, would lie on the same row, pressure's over humidity's;
    # humidity's step from 45.3 to 45.0 sets them apart.
    wait_for 150 lines_at_least '^----- "2160' "$scratch/corvane.log" 10 \
        || fail "the window did not receive ten answers to its polling"
    local trend_png=$build/corvane-wine-trend.png trend_counts trend_pixels=48
    xdotool windowfocus --sync "$window"
    xdotool key --window "$window" ctrl+t
    wait_for 50 window_taller "$window" "$plain" || fail "Ctrl+T did not show the trend (the window stayed $plain)"
    wait_for 50 trend_drawn "$trend_png" "$window" "${plain#*x}" \
        || fail "the trend does not show its four curves; pixels of their colours in one row: $trend_counts"
    echo "trend shown with Ctrl+T, the window $plain → $(window_size "$window"); pixels of the curves'" \
        "colours in one row: $trend_counts; screenshot: $trend_png ($(file -b "$trend_png"))"
    xdotool key --window "$window" ctrl+t
    wait_for 50 window_is "$window" "$plain" || fail "Ctrl+T did not hide the trend (the window is $(window_size "$window"))"

    # Unplugged (the unit's pseudo-terminal closed): reported once, as on Linux.
    stop_unit
    wait_for 50 grep -q '^lost:' "$scratch/corvane.log" || fail "the window did not report the unplugged unit"
    sleep 3
    local reports boxes
    reports=$(count_lines '^lost:' "$scratch/corvane.log")
    boxes=$(xdotool search --onlyvisible --name '^提示$' 2>/dev/null | wc -l)
    [ "$reports" -eq 1 ] && [ "$boxes" -eq 1 ] \
        || fail "the unplugged unit was reported $reports times, with $boxes message boxes"
    echo "unplugged: reported once ($(grep '^lost:' "$scratch/corvane.log"))"

    # A unit on COM1 again, for the window at 150 % to list and for the console program.
    start_unit

    # At 150 % display scaling the whole window grows, not only its texts, so that none is clipped.
    set_dpi 144
    WINEQT_FORCE_STDERR_LOGGING=1 wine "$program" >"$scratch/corvane-150.log" 2>&1 &
    pids+=($!)
    disown
    wait_for 300 window_shown || fail "the Corvane window did not appear at 150 %"
    window=$(corvane_window)
    sleep 1
    import -window "$window" "$build/corvane-wine-150.png"
    local scaled width height plain_width plain_height
    scaled=$(window_size "$window")
    echo "window at 100 %: $plain, at 150 %: $scaled; screenshot: $build/corvane-wine-150.png"
    read -r width height plain_width plain_height <<<"${scaled/x/ } ${plain/x/ }"
    ((width * 1000 >= plain_width * 1425 && width * 1000 <= plain_width * 1575 &&
        height * 1000 >= plain_height * 1425 && height * 1000 <= plain_height * 1575)) ||
        fail "the window at 150 % is $scaled, not 1.5 times $plain"
    set_dpi 96

    # The console program: its version, the ports, finding the unit, readings, a calibration with
    # its record, a factory reset, and a lost unit.
    local cli version said
    cli=$(dirname "$program")/corvane-cli.exe
    version=$(basename "$(dirname "$program")")
    version=${version#corvane-}
    version=${version%-win64}
    run_console "$cli" --version || fail "corvane-cli.exe --version failed"
    said=$(tr -d '\r' <"$scratch/cli-out.log")
    [ "$said" = "corvane-cli $version" ] || fail "corvane-cli.exe --version says '$said', not corvane-cli $version"
    run_console "$cli" ports || fail "corvane-cli.exe ports failed"
    grep -qw COM1 "$scratch/cli-out.log" || fail "corvane-cli.exe ports does not list COM1"
    echo "corvane-cli.exe --version: $said; corvane-cli.exe ports lists COM1"
    run_console "$cli" find COM1 || fail "corvane-cli.exe find COM1 failed"
    [ "$(tr -d '\r' <"$scratch/cli-out.log")" = COM1 ] || fail "corvane-cli.exe find COM1 did not find the unit"
    run_console "$cli" read --port COM1 --count 3 --format csv || fail "corvane-cli.exe read failed"
    tr -d '\r' <"$scratch/cli-out.log" >"$scratch/read.csv"
    local readings
    readings=$(unit_readings)
    [ "$(head -n 1 "$scratch/read.csv")" = time,air_temperature_c,humidity_rh,pressure_kpa,oil_temperature_c ] &&
        [ "$(wc -l <"$scratch/read.csv")" -eq 4 ] &&
        [ "$(tail -n +2 "$scratch/read.csv" | cut -d, -f2- | sort -u)" = "$readings" ] ||
        fail "corvane-cli.exe read did not write the header and three rows of $readings: $(cat "$scratch/read.csv")"
    echo "corvane-cli.exe read: the header and three rows of $readings, as the unit answered"
    run_console "$cli" calibrate --port COM1 humidity 45.0 --record "$(windows_path "$scratch")\\rec.jsonl" ||
        fail "corvane-cli.exe calibrate failed"
    grep -q '"verdict":"succeeded"' "$scratch/rec.jsonl" && grep -q '^<- 215205' "$scratch/unit.log" ||
        fail "corvane-cli.exe calibrate recorded no success: $(cat "$scratch/rec.jsonl" 2>/dev/null)"
    echo "corvane-cli.exe calibrate: $(grep -o '"as_found":{[^}]*},"as_left":{[^}]*}' "$scratch/rec.jsonl"), succeeded"
    run_console "$cli" reset --port COM1 --yes || fail "corvane-cli.exe reset failed"
    grep -q '^<- 21560386' "$scratch/unit.log" || fail "the factory reset did not reach the unit"
    echo "corvane-cli.exe reset: the unit received 21560386"
    # publish into a broker on this machine: the discovery configs, the bridge's availability and
    # the unit's readings arrive; killed, the bridge goes offline through its last will.
    local mqtt_port publisher
    mqtt_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    printf 'listener %s 127.0.0.1\nallow_anonymous true\nuser root\n' "$mqtt_port" >"$scratch/mosquitto.conf"
    mosquitto -c "$scratch/mosquitto.conf" >"$scratch/mosquitto.log" 2>&1 &
    pids+=($!)
    wait_for 100 grep -q 'running' "$scratch/mosquitto.log" || fail "mosquitto did not start"
    mosquitto_sub -p "$mqtt_port" -v -t 'corvane/#' -t 'homeassistant/#' >"$scratch/mqtt.txt" 2>&1 &
    pids+=($!)
    local gateway=(publish --broker "mqtt://127.0.0.1:$mqtt_port" --port COM1=wine --client-id wine
        --spool "$(windows_path "$scratch")\\spool")
    wine "$cli" "${gateway[@]}" </dev/null >"$scratch/publish.log" 2>&1 &
    publisher=$!
    published() {
        [ "$(grep -c '^homeassistant/sensor/corvane_wine/[a-z_]*/config {' "$scratch/mqtt.txt")" -eq 4 ] &&
            grep -q '^corvane/bridge/wine/availability online$' "$scratch/mqtt.txt" &&
            grep -q '^corvane/wine/state {"time":' "$scratch/mqtt.txt"
    }
    wait_for 600 published || fail "corvane-cli.exe publish: no discovery configs, bridge availability or readings at the broker"
    # The spool's lock: a second gateway on it is refused while the first lives, and the system
    # lets go of it when the first is killed.
    local status=0
    run_console "$cli" "${gateway[@]}" || status=$?
    [ "$status" -eq 6 ] && grep -q 'in use by another corvane-cli' "$scratch/cli.log" ||
        fail "corvane-cli.exe publish: a second gateway on the same spool ended with $status: $(tail -n 1 "$scratch/cli.log")"
    { kill -KILL "$publisher" && wait "$publisher"; } 2>/dev/null || true
    wait_for 300 grep -q '^corvane/bridge/wine/availability offline$' "$scratch/mqtt.txt" ||
        fail "corvane-cli.exe publish killed: the bridge did not go offline"
    wine "$cli" "${gateway[@]}" </dev/null >>"$scratch/publish.log" 2>&1 &
    publisher=$!
    online_again() {
        [ "$(grep -c '^corvane/bridge/wine/availability online$' "$scratch/mqtt.txt")" -ge 2 ]
    }
    wait_for 600 online_again ||
        fail "corvane-cli.exe publish started again on the spool of a killed one: the bridge did not come online: $(tail -n 1 "$scratch/publish.log")"
    { kill -KILL "$publisher" && wait "$publisher"; } 2>/dev/null || true
    echo "corvane-cli.exe publish: 4 discovery configs, the bridge online, $(grep -c '^corvane/wine/state' "$scratch/mqtt.txt") readings; a second gateway on its spool refused (exit 6); killed, the bridge offline; started again on the same spool"
    timeout 60 wine "$cli" read --port COM1 --format csv </dev/null >"$scratch/cli-out.log" 2>>"$scratch/cli.log" &
    local reader=$! status=0
    wait_for 100 grep -q '^[0-9]' "$scratch/cli-out.log" || fail "corvane-cli.exe read wrote no row"
    stop_unit
    wait "$reader" || status=$?
    [ "$status" -eq 4 ] || fail "corvane-cli.exe read ended with $status, not 4, after the unit stopped"
    echo "corvane-cli.exe read: exit 4 after the unit stopped ($(tail -n 1 "$scratch/cli.log" | tr -d '\r'))"

    # The installer, silently, and the installed program.
    local installer
    installer=$(ls "$build"/corvane-*-win64.exe)
    wine "$installer" /S >"$scratch/installer.log" 2>&1
    wineserver -w
    local installed="$WINEPREFIX/drive_c/Program Files/Corvane"
    for file in corvane.exe corvane-cli.exe Uninstall.exe platforms/qwindows.dll styles/qwindowsvistastyle.dll; do
        [ -f "$installed/$file" ] || fail "the installer left no $file"
    done
    [ -n "$(find "$WINEPREFIX/drive_c" -name Corvane.lnk)" ] || fail "no Start-menu shortcut"
    wine "$installed/corvane.exe" >"$scratch/installed.log" 2>&1 &
    pids+=($!)
    disown
    wait_for 300 window_shown || fail "the installed program did not show its window"
    echo "installed silently; the installed program starts"
}

# CPU time over ten seconds, from /proc, of the program (the process Wine names after it, in this
# prefix) and of the Wine server, with the port open.
wine_cpu() {
    local program server
    program=$(prefix_process corvane.exe)
    server=$(prefix_process wineserver64)
    [ -n "$program" ] && [ -n "$server" ] || fail "no corvane.exe or wineserver64 process"
    cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
    local before_program before_server hz
    before_program=$(cpu_ticks "$program")
    before_server=$(cpu_ticks "$server")
    sleep 10
    hz=$(getconf CLK_TCK)
    echo "CPU under Wine with COM1 open, ms per second: corvane.exe" \
        "$((($(cpu_ticks "$program") - before_program) * 1000 / hz / 10)), wineserver" \
        "$((($(cpu_ticks "$server") - before_server) * 1000 / hz / 10))"
}

# The process of this name that runs in this check's Wine prefix.
prefix_process() {
    local pid
    for pid in $(pgrep -x "$1"); do
        if grep -qzx "WINEPREFIX=$WINEPREFIX" "/proc/$pid/environ" 2>/dev/null; then
            echo "$pid"
            return
        fi
    done
}
