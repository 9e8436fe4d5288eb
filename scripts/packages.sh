# Sourced by the set-up scripts: installs the Debian packages that are missing.
#   kestrel_need_packages PACKAGE...
kestrel_need_packages() {
    local missing=()
    local package
    for package in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$package")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        if command -v sudo >/dev/null; then
            sudo=(sudo)
        else
            echo "These Debian packages are missing and installing them needs root: ${missing[*]}" >&2
            return 1
        fi
    fi
    export DEBIAN_FRONTEND=noninteractive
    "${sudo[@]}" apt-get update
    "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
}

# What every build of Kestrel needs.
KESTREL_BUILD_PACKAGES=(build-essential cmake ninja-build pkg-config git ca-certificates
    qt6-base-dev libgl-dev libpcap-dev fonts-ipafont-gothic shared-mime-info tzdata)
# What the test suite needs on top: GoogleTest, Google Benchmark, clang and its
# sanitizer runtimes for the fuzz targets; OpenSSH (a server on 127.0.0.1 for
# the remote adapters), tcpdump (their far side), setcap and setpriv (captures
# by an unprivileged user through the capture helper).
KESTREL_TEST_PACKAGES=(libgtest-dev libgmock-dev googletest libbenchmark-dev clang
    libclang-rt-14-dev llvm xvfb xauth openssh-server openssh-client tcpdump libcap2-bin
    util-linux)

# Number of parallel jobs: the machine's cores.
kestrel_jobs() { nproc 2>/dev/null || echo 2; }
