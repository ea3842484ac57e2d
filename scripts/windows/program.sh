# The program cross-built for Windows and packed, and the files it deploys checked.
windows_packages="nsis icoutils binutils-mingw-w64-x86-64 procps"
build=$PWD/build/windows

# The program and its packages, and a native simulated unit for the check under Wine.
build_windows() {
    corvane_install_packages $CORVANE_BUILD_PACKAGES $CORVANE_HEADLESS_PACKAGES $windows_packages file
    # A build configured against another Qt, libmosquitto or QCustomPlot keeps their paths in its
    # cache. The preset's toolchain finds those this script caches, under the same CORVANE_WIN_CACHE.
    if ! grep -qsx "Qt5Core_DIR:PATH=$prefix/lib/cmake/Qt5Core" "$build/CMakeCache.txt" ||
        ! grep -qsx "QCustomPlot_DIR:PATH=$qcustomplot_prefix/lib/cmake/QCustomPlot" "$build/CMakeCache.txt" ||
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
system_dlls=" advapi32.dll comdlg32.dll d3d11.dll dwmapi.dll dxgi.dll gdi32.dll imm32.dll kernel32.dll
    mpr.dll msvcrt.dll netapi32.dll ole32.dll oleaut32.dll setupapi.dll shell32.dll user32.dll
    userenv.dll uxtheme.dll version.dll winmm.dll winspool.drv ws2_32.dll wtsapi32.dll "
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
