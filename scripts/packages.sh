# Debian packages the project needs, and a helper that installs those that are missing.
# Sourced by the run and test scripts.

# publish's MQTT client library is found through pkg-config; its suite runs the broker, its
# command-line clients and openssl, which makes the suite's certificates.
CORVANE_MQTT_PACKAGES="pkg-config libmosquitto-dev mosquitto mosquitto-clients openssl"
CORVANE_BUILD_PACKAGES="cmake make g++ qtbase5-dev qtbase5-dev-tools libqt5serialport5-dev libqcustomplot-dev help2man $CORVANE_MQTT_PACKAGES"
# The same against Qt 6 (scripts/test-qt6.sh); qt6-base-dev brings the OpenGL headers its CMake
# files ask for, and the plotting library's Qt 6 build comes beside the header the Qt 5 one has.
CORVANE_QT6_BUILD_PACKAGES="cmake make g++ qt6-base-dev qt6-base-dev-tools qt6-serialport-dev libqcustomplot-dev libqcustomplot2.1-qt6 help2man $CORVANE_MQTT_PACKAGES"
# A session without a display: a virtual X server, a hand on its keyboard and a camera;
# xrdb sets the desktop's DPI for the scaling suite.
CORVANE_HEADLESS_PACKAGES="xvfb xauth xdotool imagemagick x11-xserver-utils"
# The install and package check (tests/package.sh): the desktop entry's validator, dpkg-deb,
# file, lintian, and systemd-analyze with man to verify the service unit.
CORVANE_PACKAGE_CHECK_PACKAGES="desktop-file-utils dpkg-dev file lintian man-db systemd"

corvane_install_packages() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$pkg")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing missing packages: ${missing[*]}"
    local sudo=()
    [ "$(id -u)" -ne 0 ] && sudo=(sudo)
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
}
