# Shared by scripts/test and scripts/demo: root check, packages, build.
# shellcheck shell=bash

readonly ULVO_PACKAGES=(g++ cmake make pkg-config libgtest-dev libgmock-dev libbenchmark-dev
    libmnl-dev libnetfilter-queue-dev libpcap-dev zlib1g-dev iptables iproute2 util-linux procps
    systemd logrotate groff-base systemd-container debootstrap dpkg-dev file lintian prometheus
    prometheus-node-exporter ccache)

# Re-runs the calling script through sudo when a non-root user starts it, or says it needs root.
ensure_root() {
    [ "$(id -u)" -eq 0 ] && return 0
    if command -v sudo >/dev/null 2>&1; then
        exec sudo --preserve-env=CI "$0" "$@"
    fi
    echo "$(basename "$0"): needs root (namespaces, packet-filter rules, SysV IPC); run it as root" >&2
    exit 1
}

# Installs the packages that are missing; says nothing when none is.
ensure_packages() {
    local missing=() package
    for package in "${ULVO_PACKAGES[@]}" "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    # An index that fails to download (a mirror in the middle of a sync, as seen on 2026-12-09
    # for i386) leaves the old one in use; whether the packages come is what counts.
    apt-get update -qq || echo "apt-get update failed; installing from the indexes there are" >&2
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# Configures and builds into the given directory with any further CMake arguments; the build's
# output is shown only when it fails.
build_tree() {
    local dir=$1 log
    shift
    log=$(mktemp)
    # CI builds five trees from a fresh clone each time: ccache keeps what did not change.
    local -a launcher=()
    if command -v ccache >/dev/null 2>&1; then
        launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
        # Paths relative to the checkout, so that another clone in another directory hits the
        # same cache entries.
        export CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=1
    fi
    if ! { cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DULVO_WERROR=ON -DULVO_LOCK_RANKS=ON "${launcher[@]}" "$@" &&
        cmake --build "$dir" -j "$(nproc)"; } >"$log" 2>&1; then
        cat "$log" >&2
        rm -f "$log"
        echo "build in $dir failed" >&2
        return 1
    fi
    rm -f "$log"
}

# Inside private mount and network namespaces: tmpfs over the fixed paths (and over the service
# directories, so that nothing could ever land in the host's /etc), loopback up. The system
# tests set their sandboxes up with this too.
sandbox_mounts() {
    local dir
    for dir in /opt /etc/opt /var/opt; do
        mount -t tmpfs -o nosuid,nodev,mode=0755 tmpfs "$dir" || return 1
    done
    for dir in /etc/systemd/system /etc/logrotate.d; do
        if [ -d "$dir" ]; then
            mount -t tmpfs -o nosuid,nodev,mode=0755 tmpfs "$dir" || return 1
        fi
    done
    ip link set lo up
}

# The sandbox with the programs installed in it (the service files stay out).
sandbox_install() {
    sandbox_mounts
    cmake --install build --component Unspecified >/dev/null
    # The demo's and the benchmarks' traffic goes to loopback, which the sample list exempts.
    : >/etc/opt/kel/kel-ulvo/kel-ulvo.allow
}
