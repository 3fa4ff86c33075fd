# Sourced by the scripts: installs the Debian packages the build and the
# tests need when they are missing (only as root; otherwise says what is missing).
PIPD_PACKAGES=(cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev
               nlohmann-json3-dev libmad0-dev libsoxr-dev pkgconf sox flac lame madplay python3
               libjmac-java default-jre-headless)

pipd_install_deps() {
    local missing=()
    for p in "${PIPD_PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "missing Debian packages: ${missing[*]} (run as root to install them)" >&2
        return 1
    fi
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq && apt-get install -y -qq "${missing[@]}" >/dev/null
}
