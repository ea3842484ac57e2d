#!/usr/bin/env bash
# Cross-builds the program for 64-bit Windows, packs a zip and an installer under build/, and proves
# them under Wine against the native simulated unit.
#
#   ./scripts/windows.sh             everything
#   ./scripts/windows.sh toolchain   only the cached Qt and libmosquitto for Windows
#   ./scripts/windows.sh wine-check  only the check under Wine, as root in a private mount
#                                    namespace (what the script runs itself)
#
# It leaves build/windows/corvane-<version>-win64.zip (unzipped, the program runs) and the
# installer build/windows/corvane-<version>-win64.exe, and screenshots of the program under
# Wine in build/windows/corvane-wine.png, and at 150 % display scaling in corvane-wine-150.png.
#
# Qt 5.15 for MinGW-w64 (qtbase from Debian's source package, QtSerialPort beside it) is built once
# into a versioned cache outside the tree (CORVANE_WIN_CACHE, by default ~/.cache/corvane-win) and
# reused; the build runs in a scratch folder and the prefix only appears, complete, at its end.
# libmosquitto and OpenSSL, for corvane-cli publish, are cached the same way beside it.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh

qt_version=5.15.8
toolchain_revision=1
cache=${CORVANE_WIN_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/corvane-win}
prefix=$cache/qt-$qt_version-mingw-$toolchain_revision
stamp=$prefix/.complete
# libmosquitto and the OpenSSL it speaks TLS with: a prefix of their own, so that a new version
# (Debian's security fixes to OpenSSL, say) is built without building Qt again.
mosquitto_version=2.0.11
openssl_series=3.0
mqtt_revision=1
mqtt_prefix=$cache/mqtt-$mosquitto_version-openssl-$openssl_series-mingw-$mqtt_revision
mqtt_stamp=$mqtt_prefix/.complete
host_bins=/usr/lib/qt5/bin
jobs=$(($(nproc) < 2 ? $(nproc) : 2))

corvane_install_packages g++-mingw-w64-x86-64-posix g++ qtbase5-dev-tools qt5-qmake dpkg-dev make \
    perl python3 xz-utils cmake

# Runs a command with its output in a log, shown only when it fails.
logged() {
    local log=$1
    shift
    "$@" >>"$log" 2>&1 || { echo "error: $* failed; end of $log:" >&2; tail -n 40 "$log" >&2; return 1; }
}

# apt-get source needs Debian's source archive among apt's sources.
use_deb_src() {
    if ! grep -rqs '^Types:.*deb-src\|^deb-src' /etc/apt/sources.list /etc/apt/sources.list.d/; then
        local sudo=()
        [ "$(id -u)" -ne 0 ] && sudo=(sudo)
        printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: bookworm\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' |
            "${sudo[@]}" tee /etc/apt/sources.list.d/corvane-deb-src.sources >/dev/null
        "${sudo[@]}" apt-get update -qq
    fi
}

# Debian's qtbase, configured for Windows with the host's moc, rcc and uic; only the libraries,
# plugins and tools the program and its tests need are built.
build_qtbase() {
    local work=$1 stage=$2
    use_deb_src
    (cd "$work" && logged "$work/qtbase.log" apt-get source qtbase-opensource-src)
    local src
    src=$(find "$work" -maxdepth 1 -type d -name "qtbase-opensource-src-$qt_version*" | head -1)
    [ -d "$src" ] || { echo "error: Debian's qtbase source is not Qt $qt_version" >&2; exit 1; }
    mkdir "$work/qtbase-build"
    (
        cd "$work/qtbase-build"
        # wintab.h is not in Debian's source, hence no tablet events.
        logged "$work/qtbase.log" "$src/configure" -prefix "$prefix" -external-hostbindir "$host_bins" \
            -xplatform win32-g++ -device-option CROSS_COMPILE=x86_64-w64-mingw32- \
            -release -opensource -confirm-license -shared -nomake examples -nomake tests \
            -no-opengl -no-dbus -no-icu -no-openssl -qt-zlib -qt-libpng -qt-libjpeg -qt-freetype \
            -qt-harfbuzz -qt-pcre -no-sql-sqlite -no-sql-odbc -no-feature-tabletevent
        logged "$work/qtbase.log" make -j"$jobs" sub-src-qmake_all
        local dir
        for dir in 3rdparty/pcre2 corelib winmain testlib 3rdparty/harfbuzz-ng 3rdparty/libpng \
            3rdparty/freetype gui platformsupport platformheaders widgets plugins/platforms/windows \
            plugins/platforms/offscreen plugins/platforms/minimal plugins/styles/windowsvista; do
            logged "$work/qtbase.log" make -C "src/$dir" -j"$jobs"
            logged "$work/qtbase.log" make -C "src/$dir" install INSTALL_ROOT="$stage"
        done
        logged "$work/qtbase.log" make install_mkspecs INSTALL_ROOT="$stage"
    )
}

# QtSerialPort of the same version, from Debian's source package where it can be downloaded,
# otherwise from the copy of the upstream source beside the repository.
build_qtserialport() {
    local work=$1 stage=$2 src
    if (cd "$work" && apt-get source -qq qtserialport-opensource-src >/dev/null 2>&1); then
        src=$(find "$work" -maxdepth 1 -type d -name "qtserialport-opensource-src-$qt_version*" | head -1)
    else
        local archive
        archive="$(dirname "$PWD")/shared/third_party/qtserialport-everywhere-src-$qt_version.tar.xz"
        [ -f "$archive" ] || { echo "error: cannot download QtSerialPort's source, nor find $archive" >&2; exit 1; }
        tar -C "$work" -xf "$archive"
        src=$work/qtserialport-everywhere-src-$qt_version
    fi
    [ -d "$src" ] || { echo "error: no QtSerialPort $qt_version source in $work" >&2; exit 1; }
    # Outside a Qt source tree proper the module's headers are only generated (syncqt) where a
    # .git entry marks a checkout.
    touch "$src/.git"
    mkdir "$work/qtserialport-build"
    (
        cd "$work/qtserialport-build"
        printf '[Paths]\nPrefix=%s\nHostPrefix=%s\nHostBinaries=%s\nSysroot=\nTargetSpec=win32-g++\nHostSpec=linux-g++\n' \
            "$stage$prefix" "$stage$prefix" "$host_bins" >qt.conf
        logged "$work/qtserialport.log" "$host_bins/qmake" -qtconf qt.conf "$src"
        logged "$work/qtserialport.log" make -j"$jobs"
        logged "$work/qtserialport.log" make install
    )
    # Its pkg-config file names the staged prefix; the final one is meant.
    { grep -rlZ --include='*.pc' --include='*.pri' --include='*.prl' --include='*.cmake' \
        "$stage$prefix" "$stage$prefix" || true; } | xargs -0 -r sed -i "s|$stage$prefix|$prefix|g"
}

build_toolchain() {
    mkdir -p "$cache"
    # A prefix without its stamp, and scratch folders, are the remains of an interrupted run.
    rm -rf "$prefix" "$cache"/work.*
    local work
    work=$(mktemp -d "$cache/work.XXXXXX")
    trap 'rm -rf "$work"' EXIT
    local stage=$work/stage
    echo "Building Qt $qt_version for Windows into $prefix (about 30 minutes on 2 cores)"
    build_qtbase "$work" "$stage"
    build_qtserialport "$work" "$stage"
    mv "$stage$prefix" "$prefix"
    touch "$stamp"
    rm -rf "$work"
    trap - EXIT
}

# OpenSSL's libcrypto and libssl, then libmosquitto on them, as DLLs, from Debian's source
# packages, into their cache prefix as build_toolchain does Qt. The stamp names the Debian
# versions built.
build_mqtt() {
    mkdir -p "$cache"
    rm -rf "$mqtt_prefix" "$cache"/mqtt-work.*
    local work
    work=$(mktemp -d "$cache/mqtt-work.XXXXXX")
    trap 'rm -rf "$work"' EXIT
    local stage=$work/stage log=$work/mqtt.log
    echo "Building libmosquitto $mosquitto_version and OpenSSL $openssl_series for Windows into $mqtt_prefix (about 10 minutes on 2 cores)"
    use_deb_src
    (cd "$work" && logged "$log" apt-get source openssl mosquitto)
    local openssl mosquitto
    openssl=$(find "$work" -maxdepth 1 -type d -name "openssl-$openssl_series.*" | head -1)
    mosquitto=$work/mosquitto-$mosquitto_version
    if [ ! -d "$openssl" ] || [ ! -d "$mosquitto" ]; then
        echo "error: Debian's sources are not OpenSSL $openssl_series and mosquitto $mosquitto_version" >&2
        exit 1
    fi
    (
        cd "$openssl"
        logged "$log" ./Configure mingw64 --cross-compile-prefix=x86_64-w64-mingw32- CC=gcc-posix \
            --prefix="$mqtt_prefix" --libdir=lib shared no-engine no-tests
        # Windows loads openssl.cnf, engines and providers from the folders OpenSSL's own Windows
        # builds use, which only administrators can write to, not from a path named after this
        # machine's, which anyone may create on a drive.
        local dirs=(OPENSSLDIR="C:/Program Files/Common Files/SSL"
            ENGINESDIR="C:/Program Files/OpenSSL/lib/engines-3"
            MODULESDIR="C:/Program Files/OpenSSL/lib/ossl-modules")
        logged "$log" make -j"$jobs" "${dirs[@]}" build_libs
        logged "$log" make "${dirs[@]}" install_dev DESTDIR="$stage"
    )
    # The DLLs, their import libraries and headers; not the static libraries.
    rm "$stage$mqtt_prefix"/lib/lib{crypto,ssl}.a
    x86_64-w64-mingw32-strip --strip-unneeded "$stage$mqtt_prefix"/bin/lib{crypto,ssl}-3-x64.dll
    # libmosquitto's build takes pthreads-win32 from C:\pthreads; MinGW brings winpthreads.
    sed -i -e 's|^\(\s*set (PTHREAD_LIBRARIES\) C:.*|\1 pthread)|' \
        -e 's|^\(\s*set (PTHREAD_INCLUDE_DIR\) C:.*|\1 "")|' "$mosquitto/CMakeLists.txt"
    if grep -q pthreadVC2 "$mosquitto/CMakeLists.txt"; then
        echo "error: mosquitto's build still asks for pthreads-win32" >&2
        exit 1
    fi
    # The staging prefix is where it installs, and where the cross build's searches find OpenSSL.
    logged "$log" cmake -S "$mosquitto" -B "$work/mosquitto-build" \
        -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64.cmake" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$mqtt_prefix" \
        -DCMAKE_STAGING_PREFIX="$stage$mqtt_prefix" -DOPENSSL_ROOT_DIR="$stage$mqtt_prefix" \
        -DWITH_TLS=ON -DWITH_THREADING=ON -DWITH_STATIC_LIBRARIES=OFF -DWITH_LIB_CPP=OFF \
        -DWITH_BROKER=OFF -DWITH_APPS=OFF -DWITH_CLIENTS=OFF -DWITH_PLUGINS=OFF -DWITH_CJSON=OFF \
        -DDOCUMENTATION=OFF
    logged "$log" cmake --build "$work/mosquitto-build" -j"$jobs"
    logged "$log" cmake --install "$work/mosquitto-build" --strip
    # Its install rules leave out the import library that programs link, and, without the C++
    # wrapper, its pkg-config file names a library that is not there.
    cp "$work/mosquitto-build/lib/libmosquitto.dll.a" "$stage$mqtt_prefix/lib/"
    rm "$stage$mqtt_prefix/lib/pkgconfig/libmosquittopp.pc"
    mv "$stage$mqtt_prefix" "$mqtt_prefix"
    echo "openssl $(dpkg-parsechangelog -l "$openssl/debian/changelog" -S Version)," \
        "mosquitto $(dpkg-parsechangelog -l "$mosquitto/debian/changelog" -S Version)" >"$mqtt_stamp"
    rm -rf "$work"
    trap - EXIT
}

windows_packages="nsis icoutils wine wine64 binutils-mingw-w64-x86-64 procps"
build=$PWD/build/windows

# The program and its packages, and a native simulated unit for the check under Wine.
build_windows() {
    corvane_install_packages $CORVANE_BUILD_PACKAGES $CORVANE_HEADLESS_PACKAGES $windows_packages file
    # A build configured against another Qt or libmosquitto keeps their paths in its cache. The
    # preset's toolchain finds those this script caches, under the same CORVANE_WIN_CACHE.
    if ! grep -qsx "Qt5Core_DIR:PATH=$prefix/lib/cmake/Qt5Core" "$build/CMakeCache.txt" ||
        { grep -qF "$cache/mqtt-" "$build/CMakeCache.txt" &&
            ! grep -qF "$mqtt_prefix/" "$build/CMakeCache.txt"; }; then
        rm -rf "$build"
    fi
    cmake --preset windows >/dev/null
    cmake --build --preset windows -j"$jobs"
    rm -rf "$build/deploy"
    cmake --install "$build" --prefix "$build/deploy" --strip >/dev/null
    rm -f "$build"/corvane-*-win64.*
    (cd "$build" && cpack >/dev/null)
    cmake --preset release >/dev/null
    cmake --build --preset release -j"$jobs" --target corvane-sim >/dev/null
}

# DLLs that come with every Windows; anything else a deployed file imports must be deployed.
system_dlls=" advapi32.dll d3d11.dll dwmapi.dll dxgi.dll gdi32.dll imm32.dll kernel32.dll mpr.dll
    msvcrt.dll netapi32.dll ole32.dll oleaut32.dll setupapi.dll shell32.dll user32.dll userenv.dll
    uxtheme.dll version.dll winmm.dll ws2_32.dll wtsapi32.dll "
system_dlls=" $(echo $system_dlls) "

check_files() {
    local exe=$build/deploy/corvane.exe
    grep -q 'Subsystem.*Windows GUI' <<<"$(x86_64-w64-mingw32-objdump -p "$exe")" \
        || { echo "FAIL: corvane.exe is not a GUI-subsystem program" >&2; exit 1; }
    # The icon group (type 14) and the version block (type 16) with its strings.
    grep -q -- "--type=14 --name='IDI_ICON1'" <<<"$(wrestool -l "$exe")" \
        || { echo "FAIL: no icon group IDI_ICON1 in corvane.exe" >&2; wrestool -l "$exe" >&2; exit 1; }
    local strings
    strings=$(wrestool -x --raw --type=16 "$exe" | tr -d '\0')
    for text in ProductName Corvane OriginalFilename corvane.exe FileVersion; do
        grep -q "$text" <<<"$strings" || { echo "FAIL: version block lacks $text" >&2; exit 1; }
    done

    echo "corvane.exe: GUI subsystem, icon group IDI_ICON1, version block with ProductName Corvane"
    # A console program, so that a console or a script receives its output.
    grep -q 'Subsystem.*Windows CUI' <<<"$(x86_64-w64-mingw32-objdump -p "$build/deploy/corvane-cli.exe")" \
        || { echo "FAIL: corvane-cli.exe is not a console-subsystem program" >&2; exit 1; }
    echo "corvane-cli.exe: console subsystem"

    local file dll missing=0 deployed imported=""
    deployed=$(cd "$build/deploy" && find . -maxdepth 1 -iname '*.dll' -printf '%f\n' | tr 'A-Z' 'a-z')
    while read -r file; do
        for dll in $(x86_64-w64-mingw32-objdump -p "$file" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z'); do
            imported="$imported $dll"
            grep -qx "$dll" <<<"$deployed" && continue
            [[ $system_dlls == *" $dll "* ]] && continue
            echo "FAIL: ${file#"$build/deploy/"} imports $dll, neither deployed nor part of Windows" >&2
            missing=1
        done
    done < <(find "$build/deploy" -iname '*.exe' -o -iname '*.dll')
    for dll in $deployed; do
        [[ " $imported " == *" $dll "* ]] || { echo "FAIL: $dll is deployed but nothing imports it" >&2; missing=1; }
    done
    [ "$missing" -eq 0 ] || exit 1
    echo "corvane.exe: $(stat -c %s "$exe") bytes; beside it: $(cd "$build/deploy" && find . -iname '*.dll' | sed 's|^\./||' | sort | tr '\n' ' ')"
}

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

# The mean grey of the port list's box, from a screenshot (some 20 ms).
port_box() {
    import -window "$1" -crop 100x40+18+104 +repage -colorspace gray -format '%[fx:mean]' info:
}

# Under Wine, in a private mount namespace (see below): the program from the unzipped zip opens
# COM1, which is the native simulated unit's pseudo-terminal, and greets it; then the installer.
wine_check() {
    # Wine maps the host's serial nodes as COM ports too, and opening those can block inside
    # QSerialPort::open: here they are /dev/null, which fails to open as a port at once.
    local node
    for node in /dev/ttyS*; do
        if [ -c "$node" ]; then
            mount --bind /dev/null "$node"
        fi
    done

    # Not local: the exit trap still needs them.
    scratch=$(mktemp -d)
    pids=()
    export WINEPREFIX=$scratch/wine WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml='
    cleanup() {
        wineserver -k 2>/dev/null || true
        for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
        wait 2>/dev/null || true
        rm -rf "$scratch"
    }
    trap cleanup EXIT
    fail() {
        echo "FAIL: $*" >&2
        for log in "$scratch"/*.log; do sed "s|^|  $(basename "$log" .log): |" "$log" >&2; done
        exit 1
    }

    # Room for the window at 200 % display scaling.
    Xvfb -displayfd 3 -screen 0 1920x1200x24 -nolisten tcp 3>"$scratch/display" 2>/dev/null &
    pids+=($!)
    wait_for 100 test -s "$scratch/display" || fail "Xvfb did not start"
    export DISPLAY=:$(head -n 1 "$scratch/display")

    "$PWD/build/release/sim/corvane-sim" --trace --no-drift >"$scratch/unit.log" 2>&1 &
    pids+=($!)
    wait_for 50 test -s "$scratch/unit.log" || fail "the simulated unit did not start"
    local pty
    pty=$(head -n 1 "$scratch/unit.log")

    wine wineboot --init >"$scratch/wineboot.log" 2>&1
    wine reg add 'HKLM\Software\Wine\Ports' /v COM1 /t REG_SZ /d "$pty" /f >>"$scratch/wineboot.log" 2>&1
    # The port key is read when Wine starts.
    wineserver -k || true
    wineserver -w || true

    # The suites built for Windows (those that need no pseudo-terminal), on the offscreen platform,
    # with Qt and the compiler's runtime found where they were built.
    local runtime
    runtime=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libstdc++-6.dll)")
    WINEPATH="$(windows_path "$prefix/bin");$(windows_path "$runtime");$(windows_path /usr/x86_64-w64-mingw32/lib)" \
        WINEQT_PLUGIN_PATH=$(windows_path "$prefix/plugins") WINEQT_QPA_PLATFORM=offscreen \
        ctest --test-dir "$build" --output-on-failure >"$scratch/suites.log" 2>&1 \
        || fail "the suites failed under Wine"
    echo "suites under Wine: $(grep 'tests passed' "$scratch/suites.log")"

    mkdir "$scratch/zip"
    (cd "$scratch/zip" && cmake -E tar xf "$(ls "$build"/corvane-*-win64.zip)")
    local program
    program=$(ls "$scratch"/zip/corvane-*-win64/corvane.exe)

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
    # Its answer goes out too, but Wine 8 never completes QtSerialPort's read: this is the end.
    wait_for 20 grep -q '^-> 21630379' "$scratch/unit.log" && echo "the unit answered: -> 21630379"
    sleep 1
    import -window "$window" "$build/corvane-wine.png"
    echo "screenshot: $build/corvane-wine.png ($(file -b "$build/corvane-wine.png"))"
    local plain
    plain=$(window_size "$window")
    wine_cpu

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

    # The console program, with COM1 free again.
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

if [ "${1:-}" = wine-check ]; then
    wine_check
    exit 0
fi
if [ ! -f "$stamp" ]; then
    build_toolchain
fi
if [ ! -f "$mqtt_stamp" ]; then
    build_mqtt
fi
if [ "${1:-}" = toolchain ]; then
    exit 0
fi
build_windows
check_files

sudo=()
[ "$(id -u)" -ne 0 ] && sudo=(sudo -E)
"${sudo[@]}" unshare -m --propagation private "$0" wine-check
