# Sourced by the set-up scripts: installs the Debian packages that are missing.
#   kestrel_need_packages PACKAGE...

# Runs a command as root: directly when this is root, else through sudo.
# Fails, telling why, when neither is possible.
#   kestrel_as_root WHAT COMMAND...
kestrel_as_root() {
    local what="$1"
    shift
    if [ "$(id -u)" -eq 0 ]; then
        "$@"
    elif command -v sudo >/dev/null; then
        sudo "$@"
    else
        echo "$what needs root" >&2
        return 1
    fi
}

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
    export DEBIAN_FRONTEND=noninteractive
    kestrel_as_root "Installing the Debian packages ${missing[*]}" apt-get update &&
        kestrel_as_root "Installing the Debian packages ${missing[*]}" \
            apt-get install -y --no-install-recommends "${missing[@]}"
}

# What every build of Kestrel needs.
KESTREL_BUILD_PACKAGES=(build-essential cmake ninja-build pkg-config git ca-certificates
    qt6-base-dev libgl-dev libpcap-dev fonts-ipafont-gothic shared-mime-info tzdata
    qt6-translations-l10n)
# What the test suite needs on top: GoogleTest, Google Benchmark, clang and its
# sanitizer runtimes for the fuzz targets; OpenSSH (a server on 127.0.0.1 for
# the remote adapters), tcpdump (their far side), setcap and setpriv (captures
# by an unprivileged user through the capture helper).
KESTREL_TEST_PACKAGES=(libgtest-dev libgmock-dev googletest libbenchmark-dev clang jq
    libclang-rt-14-dev llvm xvfb xauth locales libc-l10n groff-base openssh-server
    openssh-client tcpdump libcap2-bin util-linux)

# Generates a locale (e.g. ja_JP.UTF-8) when the system does not have it yet:
# the Japanese texts of the C library are tested under ja_JP.UTF-8.
#   kestrel_need_locale NAME
kestrel_need_locale() {
    local name="$1"
    local canonical
    canonical="$(echo "${name%%.*}.${name#*.}" | tr 'A-Z' 'a-z' | sed 's/utf-8$/utf8/')"
    if locale -a 2>/dev/null | tr 'A-Z' 'a-z' | grep -qx "$canonical"; then
        return 0
    fi
    echo "Generating the locale $name"
    kestrel_as_root "Generating the locale $name" localedef -i "${name%%.*}" -c -f "${name#*.}" "$name"
}

# Number of parallel jobs: the machine's cores.
kestrel_jobs() { nproc 2>/dev/null || echo 2; }
