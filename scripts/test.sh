#!/usr/bin/env bash
# Installs what is missing, builds Kestrel with every warning an error, and
# runs the whole test suite: the normal build, a Release build (built, not
# run), the suite again under AddressSanitizer and UndefinedBehaviorSanitizer,
# the store, capture, shared-out filtering and rotating output tests under
# ThreadSanitizer, and a short run of every fuzz target.
#   bash scripts/test.sh
# KESTREL_QUICK=1 runs the normal build only.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$root/scripts/packages.sh"

kestrel_need_packages "${KESTREL_BUILD_PACKAGES[@]}" "${KESTREL_TEST_PACKAGES[@]}"
kestrel_need_locale ja_JP.UTF-8

jobs="$(kestrel_jobs)"
step() { echo; echo "=== $* ($(date +%H:%M:%S))"; }

configure() {  # configure FOLDER OPTION...
    local folder="$1"
    shift
    cmake -S "$root" -B "$root/build/$folder" -G Ninja -DKESTREL_WERROR=ON "$@" >/dev/null
}

step "build"
configure ci -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTREL_BUILD_BENCH=ON
cmake --build "$root/build/ci" -j "$jobs"
step "tests"
ctest --test-dir "$root/build/ci" --output-on-failure -j "$jobs" --timeout 600

[ "${KESTREL_QUICK:-0}" = 1 ] && exit 0

# What scripts/run.sh builds (-O3) warns in other places than the build
# above: build it, with the tests, warning-free too (its tests are not run).
step "Release build"
configure release-check -DCMAKE_BUILD_TYPE=Release
cmake --build "$root/build/release-check" -j "$jobs"

step "build with AddressSanitizer and UndefinedBehaviorSanitizer"
configure asan -DCMAKE_BUILD_TYPE=Debug -DKESTREL_SANITIZE=address,undefined
cmake --build "$root/build/asan" -j "$jobs"
step "tests under AddressSanitizer and UndefinedBehaviorSanitizer"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    LSAN_OPTIONS="suppressions=$root/tests/lsan.supp" \
    ctest --test-dir "$root/build/asan" --output-on-failure -j "$jobs" --timeout 900

step "build with ThreadSanitizer"
configure tsan -DCMAKE_BUILD_TYPE=Debug -DKESTREL_SANITIZE=thread -DKESTREL_BUILD_GUI=OFF
cmake --build "$root/build/tsan" -j "$jobs"
step "store, capture, shared-out filtering and rotating output tests under ThreadSanitizer"
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --test-dir "$root/build/tsan" --output-on-failure -j "$jobs" --timeout 900 -L '^(core|capture)$' -E 'EveryTruncation'
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --test-dir "$root/build/tsan" --output-on-failure --timeout 900 -R '^(MatchReader|RotatingOutput)\.'

if [ -f "$root/fuzz/CMakeLists.txt" ]; then
    step "fuzz targets, a short run each"
    bash "$root/fuzz/run.sh" "${KESTREL_FUZZ_SECONDS:-30}"
fi
step "all tests passed"
