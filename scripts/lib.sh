# Shared set-up of the scripts: Debian packages, configure and build.
# Sourced, not run.

LAN2COM_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# What apt's changes run through: nothing as root, sudo otherwise.
LAN2COM_AS_ROOT=""
if [ "$(id -u)" -ne 0 ]; then
    LAN2COM_AS_ROOT="sudo"
fi

# Installs the given Debian packages that are missing (apt-get update once, only when needed).
ensure_packages() {
    local missing=()
    local p
    for p in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
            missing+=("$p")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing missing packages: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt_update_once
    $LAN2COM_AS_ROOT apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# apt-get update, once per run (and once more only after add_source_archive entered sources).
apt_update_once() {
    [ -z "${LAN2COM_APT_UPDATED:-}" ] || return 0
    $LAN2COM_AS_ROOT apt-get update -qq
    export LAN2COM_APT_UPDATED=1
}

# Enters Debian's source archive (deb-src) beside the binary one when apt's configuration has
# none, for apt-get source. Called before the run's first apt-get update, it costs no second one.
add_source_archive() {
    if grep -rqsE '^(Types:.*[[:space:]]deb-src|deb-src[[:space:]])' /etc/apt/sources.list \
        /etc/apt/sources.list.d/; then
        return 0
    fi
    echo "Adding Debian's source archive to apt (for apt-get source)" >&2
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
        sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
            $LAN2COM_AS_ROOT tee /etc/apt/sources.list.d/lan2com-src.sources >/dev/null
    elif [ -f /etc/apt/sources.list ]; then
        sed -n 's/^deb /deb-src /p' /etc/apt/sources.list |
            $LAN2COM_AS_ROOT tee /etc/apt/sources.list.d/lan2com-src.list >/dev/null
    fi
    unset LAN2COM_APT_UPDATED
}

# apt_source_uris PACKAGE: what apt-get source would fetch for PACKAGE; apt reads the source
# archive first (one apt-get update) only when it does not know the package's source yet.
apt_source_uris() {
    add_source_archive
    apt-get source --print-uris -qq "$1" 2>/dev/null && return 0
    unset LAN2COM_APT_UPDATED
    apt_update_once >&2
    apt-get source --print-uris -qq "$1"
}

# sqlite_source_dir: prints a folder holding sqlite3.c and sqlite3.h, the single-file source of
# the SQLite in Debian's archive (the version and the fixes of Linux's libsqlite3-dev), for the
# Windows builds, which build it into the program. Made once per Debian version from Debian's
# sqlite3 source package (apt-get source checks it against the archive's signed index) and kept
# in ~/.cache/lan2com/. Everything but the folder goes to stderr.
sqlite_source_dir() {
    ensure_packages dpkg-dev tcl make gcc >&2
    local version
    version=$(apt_source_uris sqlite3 | sed -n "s/.* sqlite3_\([^ ]*\)\.dsc .*/\1/p")
    [ -n "$version" ] || { echo "sqlite_source_dir: apt knows no sqlite3 source" >&2; return 1; }
    local dir="${XDG_CACHE_HOME:-$HOME/.cache}/lan2com/sqlite3-$version"
    if [ ! -f "$dir/sqlite3.c" ] || [ ! -f "$dir/sqlite3.h" ]; then
        echo "sqlite_source_dir: making SQLite's single-file source from Debian's sqlite3 $version" >&2
        local work
        work=$(mktemp -d)
        (
            set -e
            cd "$work"
            apt-get source -qq --only-source "sqlite3=$version" >source.log 2>&1
            mkdir build
            cd build
            ../sqlite3-*/configure >configure.log 2>&1
            make -j "$(nproc)" sqlite3.c >make.log 2>&1
        ) || {
            echo "sqlite_source_dir: making sqlite3.c failed (logs in $work)" >&2
            return 1
        }
        rm -rf "$dir.tmp"
        mkdir -p "$dir.tmp"
        cp "$work/build/sqlite3.c" "$work/build/sqlite3.h" "$dir.tmp/"
        rm -rf "$dir"
        mv "$dir.tmp" "$dir"
        rm -rf "$work"
    fi
    echo "$dir"
}

# What building and running the program needs.
LAN2COM_BUILD_PACKAGES=(cmake make g++ pkg-config qt6-base-dev qt6-translations-l10n libgl-dev
    libgtest-dev libgmock-dev socat libsqlite3-dev)

# The compiler cache, where ccache is installed (scripts/test installs it): a build that compiles
# what an earlier build of any clone on this machine compiled already takes it from the cache.
# Paths below the project's folder are hashed relative to it, so clones in other folders share it.
LAN2COM_CACHE_OPTIONS=()
if command -v ccache >/dev/null 2>&1; then
    export CCACHE_BASEDIR="$LAN2COM_ROOT" CCACHE_NOHASHDIR=true
    export CCACHE_MAXSIZE="${CCACHE_MAXSIZE:-8G}"
    LAN2COM_CACHE_OPTIONS=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi

# configure_and_build BUILD_DIR [cmake options...]
configure_and_build() {
    local dir="$1"
    shift
    cmake -S "$LAN2COM_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE="${LAN2COM_BUILD_TYPE:-RelWithDebInfo}" \
        "${LAN2COM_CACHE_OPTIONS[@]}" "$@" >/dev/null
    cmake --build "$dir" -j "$(nproc)"
}
