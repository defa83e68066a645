# Shared set-up of the scripts: Debian packages, configure and build.
# Sourced, not run.

LAN2COM_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

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
    local sudo=""
    if [ "$(id -u)" -ne 0 ]; then
        sudo="sudo"
    fi
    echo "Installing missing packages: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    if [ -z "${LAN2COM_APT_UPDATED:-}" ]; then
        $sudo apt-get update -qq
        export LAN2COM_APT_UPDATED=1
    fi
    $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
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
