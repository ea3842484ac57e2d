# Debian 13's Wine 10, in a root file system of its own beside the Qt: Debian 12's Wine 8 never
# completes QtSerialPort's wait for received bytes (it drops the wait's completion routine), so
# under it the programs never receive. The root is minimal: Wine without its recommends and a
# Chinese font for the window's texts; the X server, the screenshots and the simulated unit stay
# on this machine.
wine_root_revision=1
wine_root=$cache/trixie-wine-$wine_root_revision
wine_root_stamp=$wine_root/.complete
wine_root_packages="wine wine64 fonts-arphic-ukai"

build_wine_root() {
    corvane_install_packages debootstrap
    local sudo=()
    [ "$(id -u)" -ne 0 ] && sudo=(sudo)
    mkdir -p "$cache"
    # A root without its stamp, and scratch folders, are the remains of an interrupted run.
    "${sudo[@]}" rm -rf "$wine_root" "$cache"/trixie-work.*
    local work
    work=$(mktemp -d "$cache/trixie-work.XXXXXX")
    trap '"${sudo[@]}" rm -rf "$work"' EXIT
    echo "Building a Debian 13 root file system with Wine 10 into $wine_root (about 5 minutes)"
    # debootstrap and the packages' scripts mount /proc and device nodes inside it: in a mount
    # namespace of its own, they are gone with it however the build ends.
    "${sudo[@]}" unshare -m --propagation private "$0" wine-root "$work/root" >"$work/root.log" 2>&1 ||
        { echo "error: the root file system failed; end of its log:" >&2; tail -n 40 "$work/root.log" >&2; exit 1; }
    "${sudo[@]}" mv "$work/root" "$wine_root"
    "${sudo[@]}" touch "$wine_root_stamp"
    "${sudo[@]}" rm -rf "$work"
    trap - EXIT
}

# In a private mount namespace, as root: the root file system in $1.
make_wine_root() {
    local dir=$1
    debootstrap --variant=minbase trixie "$dir" http://deb.debian.org/debian
    # What nobody reads in a throwaway root: manuals, documentation, translations.
    printf 'path-exclude /usr/share/doc/*\npath-exclude /usr/share/man/*\npath-exclude /usr/share/info/*\npath-exclude /usr/share/locale/*\n' \
        >"$dir/etc/dpkg/dpkg.cfg.d/corvane-slim"
    cp /etc/resolv.conf "$dir/etc/resolv.conf"
    mount -t proc proc "$dir/proc"
    chroot "$dir" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive chroot "$dir" apt-get install -y -qq --no-install-recommends $wine_root_packages
    chroot "$dir" apt-get clean
    rm -rf "$dir"/var/lib/apt/lists/* "$dir/etc/resolv.conf"
}
