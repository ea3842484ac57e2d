# Qt 5.15 for MinGW-w64, built once into its cache prefix: qtbase from Debian's source
# package, QtSerialPort beside it.
qt_version=5.15.8
toolchain_revision=2
prefix=$cache/qt-$qt_version-mingw-$toolchain_revision
stamp=$prefix/.complete
host_bins=/usr/lib/qt5/bin

# Debian's qtbase, configured for Windows with the host's moc, rcc and uic; only the libraries,
# plugins and tools the program and its tests need are built (Print Support because the trend's
# plotting library links it).
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
            3rdparty/freetype gui platformsupport platformheaders widgets printsupport plugins/platforms/windows \
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
