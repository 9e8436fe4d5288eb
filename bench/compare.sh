#!/usr/bin/env bash
# Times kestrel-dump against tcpdump and tshark on the same captures and
# prints the figures side by side: wall time, CPU time (user and system),
# peak memory and the ratios of the times.
#   bash bench/compare.sh [COUNT...]        (default 1000 10000 30000)
# Every mode runs on two traffic mixes of COUNT packets each:
#   corpus     the real capture corpus (../shared/captures) repeated: mostly
#              small frames (without the corpus a built-in mix is used);
#   realistic  the project's generator: TCP sessions with handshakes and
#              payloads of typical sizes, DNS, NTP, QUIC-like UDP, ICMP and
#              ARP, about 580 bytes per frame.
# KESTREL_BENCH_MIXES="realistic" runs one of them. Any count works (files
# are streamed): `bash bench/compare.sh 30000 1000000` shows the growth.
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
read -r -a mixes <<<"${KESTREL_BENCH_MIXES:-corpus realistic}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
dump="$build/kestrel-dump/kestrel-dump"

# once COMMAND...: one run: its wall time (microsecond clock of the shell),
# its CPU time (user and system, GNU time) and its peak memory, as
# "SECONDS CPU_SECONDS KB".
once() {
    local start="$EPOCHREALTIME"
    /usr/bin/time -o "$work/time" -f '%U %S %M' "$@" >/dev/null 2>/dev/null || true
    local end="$EPOCHREALTIME"
    awk -v a="$start" -v b="$end" '{printf "%.4f %.2f %d", b - a, $1 + $2, $3}' <(tail -1 "$work/time")
}

# best SO_FAR RUN: of "WALL CPU KB" figures, the smaller times and the
# larger memory.
best() {
    awk -v b="$1" -v r="$2" 'BEGIN{
        if (b == "") { print r; exit }
        split(b, x, " "); split(r, y, " ");
        printf "%s %s %d", (y[1] < x[1] ? y[1] : x[1]), (y[2] < x[2] ? y[2] : x[2]), (y[3] > x[3] ? y[3] : x[3]) }'
}

# row COUNT MIX WHAT PEER_NAME KESTREL_COMMAND... -- PEER_COMMAND...: the two
# commands run in turns, five times each, so that both meet the machine in
# the same state; each side's best wall time, best CPU time and largest
# peak memory. A side whose runs have taken 20 s runs no more (tshark -V on
# a million packets takes that long). The captures are read into the page
# cache first: a machine may page out a file left unread for a while.
row() {
    local count="$1" mix="$2" what="$3" peer="$4"
    shift 4
    local -a ours=() theirs=()
    while [ "$1" != "--" ]; do ours+=("$1"); shift; done
    shift
    theirs=("$@")
    cat "$work"/t.pcap "$work"/t.pac >/dev/null
    local i r k="" p="" kspent=0 pspent=0
    for ((i = 0; i < 5; ++i)); do
        if awk "BEGIN{exit !($kspent <= 20)}"; then
            r="$(once "${ours[@]}")"
            k="$(best "$k" "$r")"
            kspent="$(awk -v a="$kspent" -v s="${r%% *}" 'BEGIN{print a + s}')"
        fi
        if awk "BEGIN{exit !($pspent <= 20)}"; then
            r="$(once "${theirs[@]}")"
            p="$(best "$p" "$r")"
            pspent="$(awk -v a="$pspent" -v s="${r%% *}" 'BEGIN{print a + s}')"
        fi
    done
    awk -v n="$count" -v mix="$mix" -v what="$what" -v k="$k" -v peer="$peer" -v p="$p" 'BEGIN{
        split(k, a, " "); split(p, b, " ");
        printf "%7d %-9s %-8s %8.3f s %7.2f s %7.1f MB   %-18s %8.3f s %7.2f s %7.1f MB  %6.1fx %6.1fx\n",
            n, mix, what, a[1], a[2], a[3] / 1024, peer, b[1], b[2], b[3] / 1024,
            (a[1] > 0 ? b[1] / a[1] : 0), (a[2] > 0 ? b[2] / a[2] : 0) }'
}

echo "load average at the start: $(cut -d' ' -f1-3 /proc/loadavg), $(nproc) cores"
printf "%7s %-9s %-8s %32s   %-18s %32s  %7s %7s\n" packets mix mode "kestrel-dump: wall, CPU, memory" \
    peer "wall, CPU, memory" "wall" "CPU"
for mix in "${mixes[@]}"; do
    option=()
    [ "$mix" = realistic ] && option=(--realistic)
    for count in "${counts[@]}"; do
        "$build/bench/kestrel-bench-traffic" "${option[@]}" "$count" "$work/t.pcap"
        "$build/bench/kestrel-bench-traffic" "${option[@]}" "$count" "$work/t.pac"
        f="$work/t.pcap"
        row "$count" "$mix" rows "tcpdump -nn -r" "$dump" --rows "$f" -- tcpdump -nn -r "$f"
        row "$count" "$mix" rows "tshark -r" "$dump" --rows "$f" -- tshark -n -r "$f"
        row "$count" "$mix" tree "tshark -V -r" "$dump" --tree "$f" -- tshark -n -V -r "$f"
        row "$count" "$mix" json "tshark -T json -r" "$dump" --json "$f" -- tshark -n -T json -r "$f"
        row "$count" "$mix" f.tcp80 "tcpdump -nn -r F" "$dump" -f 'tcp port 80' "$f" -- \
            tcpdump -nn -r "$f" 'tcp port 80'
        row "$count" "$mix" f.udp "tcpdump -nn -r F" "$dump" -f udp "$f" -- tcpdump -nn -r "$f" udp
        row "$count" "$mix" hex "tcpdump -nn -xx -r" "$dump" --hex "$f" -- tcpdump -nn -xx -r "$f"
        row "$count" "$mix" rows.pac "tcpdump -nn -r" "$dump" --rows "$work/t.pac" -- tcpdump -nn -r "$f"
        row "$count" "$mix" convert "tcpdump -r -w" "$dump" -w "$work/o.pcap" "$work/t.pac" -- \
            tcpdump -r "$f" -w "$work/o.pcap"
    done
done
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
