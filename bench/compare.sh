#!/usr/bin/env bash
# Times kestrel-dump against tcpdump and tshark on the same captures and
# prints the figures side by side: wall time, peak memory and the ratio.
#   bash bench/compare.sh [COUNT...]        (default 1000 10000 30000)
# The captures are the real corpus (../shared/captures) repeated to COUNT
# packets; without the corpus a built-in traffic mix is used. Any count works
# (files are streamed): `bash bench/compare.sh 30000 1000000` shows the growth.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$root/scripts/packages.sh"
kestrel_need_packages "${KESTREL_BUILD_PACKAGES[@]}" libbenchmark-dev libgtest-dev tcpdump tshark time

build="$root/build/bench"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTREL_BUILD_BENCH=ON \
    -DKESTREL_BUILD_TESTS=OFF -DKESTREL_BUILD_GUI=OFF >/dev/null
cmake --build "$build" -j "$(kestrel_jobs)" --target kestrel-dump kestrel-bench-traffic >/dev/null

counts=("$@")
[ ${#counts[@]} -eq 0 ] && counts=(1000 10000 30000)
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
dump="$build/tools/kestrel-dump"

# measure COMMAND...: the best wall time of five runs (microsecond clock of
# the shell) and the peak memory (GNU time). A slow command stops early, once
# its runs have taken 20 s (tshark -V on a million packets takes minutes).
measure() {
    local best="" peak="" i spent=0
    # Every command starts with the captures in the page cache: a machine
    # may page out a file left unread for a while (tshark runs for minutes).
    cat "$work"/t.pcap "$work"/t.pac >/dev/null
    for ((i = 0; i < 5; ++i)); do
        if awk "BEGIN{exit !($spent > 20)}"; then break; fi
        local start="$EPOCHREALTIME"
        /usr/bin/time -o "$work/time" -f '%M' "$@" >/dev/null 2>/dev/null || true
        local end="$EPOCHREALTIME"
        local seconds kb
        seconds="$(awk -v a="$start" -v b="$end" 'BEGIN{printf "%.4f", b - a}')"
        kb="$(tail -1 "$work/time")"
        if [ -z "$best" ] || awk "BEGIN{exit !($seconds < $best)}"; then best="$seconds"; fi
        if [ -z "$peak" ] || [ "$kb" -gt "$peak" ]; then peak="$kb"; fi
        spent="$(awk -v a="$spent" -v s="$seconds" 'BEGIN{print a + s}')"
    done
    echo "$best $peak"
}

row() {  # row COUNT WHAT KESTREL_RESULT PEER_NAME PEER_RESULT
    local ks="${3% *}" km="${3#* }" ps="${5% *}" pm="${5#* }"
    awk -v n="$1" -v what="$2" -v ks="$ks" -v km="$km" -v peer="$4" -v ps="$ps" -v pm="$pm" 'BEGIN{
        ratio = (ks > 0) ? ps / ks : 0;
        printf "%6d  %-8s  %8.4f s %7.1f MB   %-18s %8.4f s %7.1f MB   %6.1fx\n",
            n, what, ks, km / 1024, peer, ps, pm / 1024, ratio }'
}

printf "%6s  %-8s  %21s   %-18s %21s   %7s\n" packets mode "kestrel-dump" peer "" "faster"
for count in "${counts[@]}"; do
    "$build/bench/kestrel-bench-traffic" "$count" "$work/t.pcap"
    "$build/bench/kestrel-bench-traffic" "$count" "$work/t.pac"
    rows="$(measure "$dump" --rows "$work/t.pcap")"
    row "$count" rows "$rows" "tcpdump -nn -r" "$(measure tcpdump -nn -r "$work/t.pcap")"
    row "$count" rows "$rows" "tshark -r" "$(measure tshark -n -r "$work/t.pcap")"
    row "$count" tree "$(measure "$dump" --tree "$work/t.pcap")" "tshark -V -r" \
        "$(measure tshark -n -V -r "$work/t.pcap")"
    row "$count" json "$(measure "$dump" --json "$work/t.pcap")" "tshark -T json -r" \
        "$(measure tshark -n -T json -r "$work/t.pcap")"
    row "$count" f.tcp80 "$(measure "$dump" -f 'tcp port 80' "$work/t.pcap")" "tcpdump -nn -r F" \
        "$(measure tcpdump -nn -r "$work/t.pcap" 'tcp port 80')"
    row "$count" f.udp "$(measure "$dump" -f udp "$work/t.pcap")" "tcpdump -nn -r F" \
        "$(measure tcpdump -nn -r "$work/t.pcap" udp)"
    row "$count" hex "$(measure "$dump" --hex "$work/t.pcap")" "tcpdump -nn -xx -r" \
        "$(measure tcpdump -nn -xx -r "$work/t.pcap")"
    row "$count" rows.pac "$(measure "$dump" --rows "$work/t.pac")" "tcpdump -nn -r" \
        "$(measure tcpdump -nn -r "$work/t.pcap")"
    row "$count" convert "$(measure "$dump" -w "$work/o.pcap" "$work/t.pac")" "tcpdump -r -w" \
        "$(measure tcpdump -r "$work/t.pcap" -w "$work/o.pcap")"
done
