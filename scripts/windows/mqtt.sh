# libmosquitto and the OpenSSL it speaks TLS with: a prefix of their own, so that a new version
# (Debian's security fixes to OpenSSL, say) is built without building Qt again.
mosquitto_version=2.0.11
openssl_series=3.0
mqtt_revision=1
mqtt_prefix=$cache/mqtt-$mosquitto_version-openssl-$openssl_series-mingw-$mqtt_revision
mqtt_stamp=$mqtt_prefix/.complete

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
