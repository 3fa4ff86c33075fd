# Sourced by the scripts: installs the Debian packages the build and the
# tests need when they are missing (only as root; otherwise says what is missing).
PIPD_PACKAGES=(cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev
               nlohmann-json3-dev libmad0-dev libsoxr-dev libasound2-dev pkgconf sox flac lame
               madplay python3 libjmac-java default-jre-headless systemd dpkg-dev file
               libcpp-httplib-dev libtag1-dev python3-mutagen chromium chromium-driver python3-selenium help2man
               clang-format-14)
# Installed without what they recommend: the multi-room test runs the
# Snapcast programs on 127.0.0.1 only and wants no avahi daemon.
PIPD_PACKAGES_BARE=(snapserver snapclient)

# What scripts/check-package needs besides: lintian, hardening-check
# (devscripts) and debootstrap for the minimal root it installs into.
PIPD_PACKAGE_CHECKS=(lintian devscripts debootstrap)

# What the cross build for 32-bit ARM needs besides (scripts/test-armhf).
PIPD_CROSS_TOOLS=(crossbuild-essential-armhf qemu-user)
# Reference programs whose results depend on the target's libraries (libmad's
# fixed-point arithmetic differs between architectures): the target's build
# of each runs under the emulator in the cross build's tests.
PIPD_CROSS_REFERENCES=(madplay)

pipd_installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

# Installs the given packages that are missing; a first argument
# --no-install-recommends leaves out what they recommend.
pipd_install() {
    local missing=() options=()
    if [ "${1:-}" = --no-install-recommends ]; then
        options+=("$1")
        shift
    fi
    for p in "$@"; do pipd_installed "$p" || missing+=("$p"); done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "missing Debian packages: ${missing[*]} (run as root to install them)" >&2
        return 1
    fi
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq &&
        apt-get install -o DPkg::Lock::Timeout=600 -y -qq "${options[@]}" "${missing[@]}" >/dev/null
}

pipd_install_deps() {
    pipd_install "${PIPD_PACKAGES[@]}" &&
        pipd_install --no-install-recommends "${PIPD_PACKAGES_BARE[@]}"
}

# The cross toolchain and emulator, and every library development package of
# PIPD_PACKAGES for ARCH (sanitizer runtimes aside): as ARCH packages beside
# the host's where Debian allows it (Multi-Arch: same); the others (libmad0-dev)
# are unpacked into the private directory EXTRA, their libraries installed for
# ARCH. Point the toolchain file at EXTRA with -DPIPD_CROSS_EXTRA=EXTRA.
# The reference programs are unpacked there too, each with a script in
# EXTRA/bin that runs it under qemu-ARCH: put EXTRA/bin first in PATH.
pipd_install_cross_deps() {
    local arch=$1 extra=$2
    if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
        [ "$(id -u)" -eq 0 ] || { echo "run as root: dpkg --add-architecture $arch" >&2; return 1; }
        dpkg --add-architecture "$arch"
    fi
    if ! apt-cache show "libc6:$arch" >/dev/null 2>&1; then apt-get update -qq; fi
    local want=("${PIPD_CROSS_TOOLS[@]}" "pkgconf:$arch" "libstdc++6:$arch" "libgcc-s1:$arch") unpack=()
    local p info
    for p in "${PIPD_PACKAGES[@]}"; do
        [[ $p == lib*-dev && $p != libclang-rt-* ]] || continue
        info=$(apt-cache show "$p:$arch" 2>/dev/null | sed '/^$/q')
        if grep -q '^Architecture: all' <<<"$info" || grep -q '^Multi-Arch: foreign' <<<"$info"; then
            continue # the host's package serves every architecture
        elif grep -q '^Multi-Arch: same' <<<"$info"; then
            want+=("$p:$arch")
        else
            unpack+=("$p")
        fi
    done
    unpack+=("${PIPD_CROSS_REFERENCES[@]}")
    for p in "${unpack[@]}"; do
        # Their libraries, which may be installed for ARCH.
        info=$(apt-cache show "$p:$arch" 2>/dev/null | sed '/^$/q')
        for dep in $(sed -n 's/^Depends: //p' <<<"$info" | tr ',' '\n' | sed 's/|.*//; s/ *(.*//; s/ //g'); do
            want+=("$dep:$arch")
        done
    done
    pipd_install "${want[@]}" || return 1
    local triplet version stamp download
    triplet=$(dpkg-architecture -a "$arch" -qDEB_HOST_MULTIARCH 2>/dev/null)
    mkdir -p "$extra"
    for p in "${unpack[@]}"; do
        version=$(apt-cache policy "$p:$arch" | sed -n 's/ *Candidate: //p')
        stamp=$extra/.unpacked-$p-$version
        [ -e "$stamp" ] && continue
        echo "unpacking $p:$arch $version into $extra"
        # apt downloads as its own user, into a directory it may write.
        download=$(mktemp -d)
        chmod 777 "$download"
        (cd "$download" && apt-get download -qq "$p:$arch" >/dev/null)
        dpkg-deb -x "$download"/*.deb "$extra"
        rm -rf "$download"
        # Library links that point at the ARCH package's files in the system.
        find "$extra/usr/lib/$triplet" -maxdepth 1 -type l | while read -r link; do
            [ -e "$link" ] || ln -sf "/usr/lib/$triplet/$(readlink "$link")" "$link"
        done
        # pkg-config files that point into the private directory.
        find "$extra" -name '*.pc' -exec sed -i "s|^prefix=/usr|prefix=$extra/usr|" {} +
        touch "$stamp"
    done
    local qemu=qemu-$arch
    [ "$arch" = armhf ] && qemu=qemu-arm
    mkdir -p "$extra/bin"
    for p in "${PIPD_CROSS_REFERENCES[@]}"; do
        printf '#!/bin/sh\nexec %s %s "$@"\n' "$qemu" "$extra/usr/bin/$p" >"$extra/bin/$p"
        chmod 755 "$extra/bin/$p"
    done
}
