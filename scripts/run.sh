#!/usr/bin/env bash
# Builds Kestrel and opens the bundled sample capture in it.
#   bash scripts/run.sh [FILE...]     (files instead of the sample)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$root/scripts/packages.sh"

kestrel_need_packages "${KESTREL_BUILD_PACKAGES[@]}" xvfb xauth

build="$root/build/release"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTREL_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(kestrel_jobs)"

files=("$@")
[ ${#files[@]} -eq 0 ] && files=("$build/sample.pac")

if [ -x "$build/shell/kestrel" ]; then
    if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
        exec "$build/shell/kestrel" "${files[@]}"
    fi
    echo "No display: starting Kestrel on a virtual one (Xvfb); close it with Ctrl+C."
    exec xvfb-run -a -s "-screen 0 1280x1024x24" "$build/shell/kestrel" "${files[@]}"
fi
# Without the desktop program, show the packets on the terminal.
"$build/kestrel-dump/kestrel-dump" --rows "${files[@]}"
