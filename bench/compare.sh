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
dump="$build/kestrel-dump/kestrel-dump"

# once COMMAND...: one run: its wall time (microsecond clock of the shell)
# and its peak memory (GNU time), as "SECONDS KB".
once() {
    local start="$EPOCHREALTIME"
    /usr/bin/time -o "$work/time" -f '%M' "$@" >/dev/null 2>/dev/null || true
    local end="$EPOCHREALTIME"
    awk -v a="$start" -v b="$end" -v kb="$(tail -1 "$work/time")" 'BEGIN{printf "%.4f %d", b - a, kb}'
}

# row COUNT WHAT PEER_NAME KESTREL_COMMAND... -- PEER_COMMAND...: the two
# commands run in turns, five times each, so that both meet the machine in
# the same state; each side's best time and largest peak memory. A side
# whose runs have taken 20 s runs no more (tshark -V on a million packets
# takes minutes). The captures are read into the page cache first: a
# machine may page out a file left unread for a while.
row() {
    local count="$1" what="$2" peer="$3"
    shift 3
    local -a ours=() theirs=()
    while [ "$1" != "--" ]; do ours+=("$1"); shift; done
    shift
    theirs=("$@")
    cat "$work"/t.pcap "$work"/t.pac >/dev/null
    local i ks="" km=0 ps="" pm=0 kspent=0 pspent=0 r
    for ((i = 0; i < 5; ++i)); do
        if awk "BEGIN{exit !($kspent <= 20)}"; then
            r="$(once "${ours[@]}")"
            ks="$(awk -v b="$ks" -v s="${r% *}" 'BEGIN{print (b == "" || s < b) ? s : b}')"
            km=$(( ${r#* } > km ? ${r#* } : km ))
            kspent="$(awk -v a="$kspent" -v s="${r% *}" 'BEGIN{print a + s}')"
        fi
        if awk "BEGIN{exit !($pspent <= 20)}"; then
            r="$(once "${theirs[@]}")"
            ps="$(awk -v b="$ps" -v s="${r% *}" 'BEGIN{print (b == "" || s < b) ? s : b}')"
            pm=$(( ${r#* } > pm ? ${r#* } : pm ))
            pspent="$(awk -v a="$pspent" -v s="${r% *}" 'BEGIN{print a + s}')"
        fi
    done
    awk -v n="$count" -v what="$what" -v ks="$ks" -v km="$km" -v peer="$peer" -v ps="$ps" -v pm="$pm" 'BEGIN{
        ratio = (ks > 0) ? ps / ks : 0;
        printf "%6d  %-8s  %8.4f s %7.1f MB   %-18s %8.4f s %7.1f MB   %6.1fx\n",
            n, what, ks, km / 1024, peer, ps, pm / 1024, ratio }'
}

printf "%6s  %-8s  %21s   %-18s %21s   %7s\n" packets mode "kestrel-dump" peer "" "faster"
for count in "${counts[@]}"; do
    "$build/bench/kestrel-bench-traffic" "$count" "$work/t.pcap"
    "$build/bench/kestrel-bench-traffic" "$count" "$work/t.pac"
    f="$work/t.pcap"
    row "$count" rows "tcpdump -nn -r" "$dump" --rows "$f" -- tcpdump -nn -r "$f"
    row "$count" rows "tshark -r" "$dump" --rows "$f" -- tshark -n -r "$f"
    row "$count" tree "tshark -V -r" "$dump" --tree "$f" -- tshark -n -V -r "$f"
    row "$count" json "tshark -T json -r" "$dump" --json "$f" -- tshark -n -T json -r "$f"
    row "$count" f.tcp80 "tcpdump -nn -r F" "$dump" -f 'tcp port 80' "$f" -- \
        tcpdump -nn -r "$f" 'tcp port 80'
    row "$count" f.udp "tcpdump -nn -r F" "$dump" -f udp "$f" -- tcpdump -nn -r "$f" udp
    row "$count" hex "tcpdump -nn -xx -r" "$dump" --hex "$f" -- tcpdump -nn -xx -r "$f"
    row "$count" rows.pac "tcpdump -nn -r" "$dump" --rows "$work/t.pac" -- tcpdump -nn -r "$f"
    row "$count" convert "tcpdump -r -w" "$dump" -w "$work/o.pcap" "$work/t.pac" -- \
        tcpdump -r "$f" -w "$work/o.pcap"
done
