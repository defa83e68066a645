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
    libgtest-dev libgmock-dev socat)

# configure_and_build BUILD_DIR [cmake options...]
configure_and_build() {
    local dir="$1"
    shift
    cmake -S "$LAN2COM_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE="${LAN2COM_BUILD_TYPE:-RelWithDebInfo}" "$@" >/dev/null
    cmake --build "$dir" -j "$(nproc)"
}
