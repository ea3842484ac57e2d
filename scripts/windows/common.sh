# What the stages of scripts/windows.sh share: the cache folder, the builds' parallelism and
# helpers. scripts/windows.sh sources every file here from the repository's root.
cache=${CORVANE_WIN_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/corvane-win}
jobs=$(($(nproc) < 2 ? $(nproc) : 2))

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
