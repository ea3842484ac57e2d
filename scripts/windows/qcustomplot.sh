# QCustomPlot, which draws the window's trend: a prefix of its own beside the Qt it is built
# against, so that a new Debian revision of it is built without building Qt again.
qcustomplot_version=2.1.0
qcustomplot_revision=1
qcustomplot_prefix=$cache/qcustomplot-$qcustomplot_version-mingw-$qcustomplot_revision
qcustomplot_stamp=$qcustomplot_prefix/.complete

# QCustomPlot as a DLL from Debian's source package, with the CMake package configuration that
# Debian's own patch adds (the QCustomPlot::QCustomPlot target, as libqcustomplot-dev has it),
# against the cached Qt and into its cache prefix as build_toolchain does Qt. The stamp names
# the Debian version built and the Qt it links.
build_qcustomplot() {
    mkdir -p "$cache"
    rm -rf "$qcustomplot_prefix" "$cache"/qcustomplot-work.*
    local work
    work=$(mktemp -d "$cache/qcustomplot-work.XXXXXX")
    trap 'rm -rf "$work"' EXIT
    local stage=$work/stage log=$work/qcustomplot.log
    echo "Building QCustomPlot $qcustomplot_version for Windows into $qcustomplot_prefix (under a minute)"
    use_deb_src
    (cd "$work" && logged "$log" apt-get source qcustomplot)
    local src
    src=$(find "$work" -maxdepth 1 -type d -name "qcustomplot-$qcustomplot_version*" | head -1)
    if [ ! -f "$src/CMakeLists.txt" ] || [ ! -f "$src/cmake/Config.cmake.in" ]; then
        echo "error: Debian's source is not QCustomPlot $qcustomplot_version with its CMake configuration" >&2
        exit 1
    fi
    # Its header exports the classes when the library is compiled; programs that include it must
    # say that they import them from the DLL, which the exported target now says for them.
    printf '\ntarget_compile_definitions(${LIB_NAME} INTERFACE QCUSTOMPLOT_USE_LIBRARY)\n' >>"$src/CMakeLists.txt"
    # The host's moc stands in for the Qt for Windows' (cmake/qt5hosttools.cmake), as in the
    # program's build.
    logged "$log" cmake -S "$src" -B "$work/build" \
        -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64.cmake" -DCORVANE_QT_PREFIX="$prefix" \
        -DCMAKE_PROJECT_INCLUDE="$PWD/cmake/qt5hosttools.cmake" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_INSTALL_PREFIX="$qcustomplot_prefix" -DCMAKE_STAGING_PREFIX="$stage$qcustomplot_prefix" \
        -DUSE_QT_VERSION=5
    logged "$log" cmake --build "$work/build" -j"$jobs"
    logged "$log" cmake --install "$work/build" --strip
    mv "$stage$qcustomplot_prefix" "$qcustomplot_prefix"
    echo "qcustomplot $(dpkg-parsechangelog -l "$src/debian/changelog" -S Version), against Qt $qt_version" \
        "($(basename "$prefix"))" >"$qcustomplot_stamp"
    rm -rf "$work"
    trap - EXIT
}
