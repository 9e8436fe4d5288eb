#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each for a while.
#   bash fuzz/run.sh [SECONDS] [TARGET...]     (default 30 s, every target)
# Corpora grow in build/fuzz/corpus/TARGET and are kept between runs; they are
# seeded from the tests' capture corpus, the peer captures when they are
# there, and the sample capture.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds="${1:-30}"
shift || true
build="$root/build/fuzz"
captures="${KESTREL_CAPTURES_DIR:-$root/../shared/captures}"

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKESTREL_FUZZ=ON -DKESTREL_BUILD_GUI=OFF -DKESTREL_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)"

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    mapfile -t targets < <(cd "$build/fuzz" && ls fuzz_* | sort)
fi

files=("$root"/tests/corpus/*.pcap "$root"/tests/corpus/*.pcapng)
[ -d "$captures" ] && files+=("$captures"/*.pcap "$captures"/*.pcapng)
[ -f "$build/sample.pac" ] && files+=("$build/sample.pac")

for target in "${targets[@]}"; do
    corpus="$build/corpus/$target"
    if [ ! -d "$corpus" ]; then
        mkdir -p "$corpus"
        case "$target" in
            # The project's corpus and the peer captures share some names.
            *_file) for file in "${files[@]}"; do
                        cp "$file" "$corpus/$(basename "$(dirname "$file")")-$(basename "$file")"
                    done ;;
            *_payload) [ ${#files[@]} -gt 0 ] && "$build/fuzz/kestrel-fuzz-seeds" --payloads "$corpus" "${files[@]}" >/dev/null ;;
            *) [ ${#files[@]} -gt 0 ] && "$build/fuzz/kestrel-fuzz-seeds" "$corpus" "${files[@]}" >/dev/null ;;
        esac
    fi
    echo "--- $target for ${seconds} s"
    "$build/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 \
        -max_len=262144 -print_final_stats=1 "$corpus" 2>&1 |
        grep -E '^(#[0-9]+ +DONE|stat::number_of_executed_units|stat::peak_rss_mb|==[0-9]+==ERROR|SUMMARY|artifact)|cov:' |
        tail -4
    status=${PIPESTATUS[0]}
    if [ "$status" -ne 0 ]; then
        echo "$target found a fault (exit $status); the input is in the current folder" >&2
        exit 1
    fi
done
