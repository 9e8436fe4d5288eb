#!/usr/bin/env bash
# What live captures keep, side by side with tcpdump in the same runs. Three
# captures of the same datagrams at the same time, so they meet the same load:
#   tcpdump  tcpdump -i ADAPTER -s 65536 -w FILE FILTER, as users run it;
#   direct   kestrel-dump --capture NAME -f FILTER -w FILE as root: the
#            capture engine of the desktop program, writing a file;
#   helper   the same as a user without privileges in the group kestrel:
#            the capture helper kestrel-capture and its pipe.
# Two places, each in private network namespaces made and removed here: the
# loopback adapter, and a veth pair whose far end sends. For each:
#   - bursts of 5000 and 50000 datagrams, as fast as this machine sends
#     them, RUNS times: what each kept and the drops it reported;
#   - 10 s runs at rising RATES: the highest rate each keeps whole;
#   - the memory each holds for its ring (its mappings of the capture socket);
#   - the drop counts: each capture paused (SIGSTOP) while more datagrams pass
#     than its ring holds, then resumed: what it kept, what it says it
#     dropped, and what is missing.
# Each capture gets two seconds after the last datagram before SIGINT (one
# block timeout of tcpdump, and time to catch up): this measures what the
# captures keep up with, not what a stop keeps.
#
#   sudo bash bench/capture_loss.sh
#   sudo RUNS=3 RATES="50000 100000" SECONDS_PER_RATE=5 bash bench/capture_loss.sh
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$root/scripts/packages.sh"
if [ "$(id -u)" -ne 0 ]; then
    echo "capture_loss.sh: capturing and making network namespaces needs root" >&2
    exit 1
fi
kestrel_need_packages "${KESTREL_BUILD_PACKAGES[@]}" libbenchmark-dev tcpdump iproute2 \
    libcap2-bin util-linux

runs="${RUNS:-10}"
rates=(${RATES:-25000 50000 100000 150000 200000 250000 300000 400000 500000 700000 1000000})
seconds_per_rate="${SECONDS_PER_RATE:-10}"

build="$root/build/bench"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTREL_BUILD_BENCH=ON \
    -DKESTREL_BUILD_TESTS=OFF -DKESTREL_BUILD_GUI=OFF >/dev/null
cmake --build "$build" -j "$(kestrel_jobs)" \
    --target kestrel-dump kestrel-capture kestrel-bench-send >/dev/null
send="$build/bench/kestrel-bench-send"

# The helper installed as its installation makes it (root:kestrel 0750 with
# the capture capabilities), and kestrel-dump beside it, where the user
# nobody reaches them.
getent group kestrel >/dev/null || groupadd --system kestrel
work="$(mktemp -d)"
chmod 0755 "$work"
mkdir "$work/out"
chmod 1777 "$work/out"
cp "$build/kestrel-dump/kestrel-dump" "$work/"
cp "$build/kestrel-capture/kestrel-capture" "$work/"
chown root:kestrel "$work/kestrel-capture"
chmod 0750 "$work/kestrel-capture"
setcap cap_net_raw,cap_net_admin+ep "$work/kestrel-capture"
dump="$work/kestrel-dump"

ns_a="kestrel-bench-$$-a"
ns_b="kestrel-bench-$$-b"
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    ip netns del "$ns_a" 2>/dev/null || true
    ip netns del "$ns_b" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# Namespace A captures; its loopback adapter, and one end of a veth pair
# whose other end is in namespace B.
ip netns add "$ns_a"
ip netns add "$ns_b"
for ns in "$ns_a" "$ns_b"; do
    ip netns exec "$ns" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1
    ip -n "$ns" link set lo up
done
ip link add "kb$$a" type veth peer name "kb$$b"
ip link set "kb$$a" netns "$ns_a"
ip link set "kb$$b" netns "$ns_b"
ip -n "$ns_a" addr add 192.0.2.1/24 dev "kb$$a"
ip -n "$ns_b" addr add 192.0.2.2/24 dev "kb$$b"
ip -n "$ns_a" link set "kb$$a" up
ip -n "$ns_b" link set "kb$$b" up
# No address resolution in the runs: datagrams waiting for it are not sent.
mac_a="$(ip -n "$ns_a" -o link show "kb$$a" | sed -n 's/.*link\/ether \([0-9a-f:]*\).*/\1/p')"
ip -n "$ns_b" neigh replace 192.0.2.1 lladdr "$mac_a" dev "kb$$b" nud permanent

port=30000

# ring_kib PID: the size of the capture socket mappings of PID, in KiB.
ring_kib() {
    local kib=0 range start end
    while read -r range _ _ _ _ path; do
        [[ "$path" == socket:* ]] || continue
        start="${range%-*}"
        end="${range#*-}"
        kib=$((kib + (16#$end - 16#$start) / 1024))
    done <"/proc/$1/maps"
    echo "$kib"
}

# Bound packet sockets in namespace A: the captures that are open.
open_captures() {
    ip netns exec "$ns_a" awk 'NR > 1 && $5 != 0' /proc/net/packet | wc -l
}

dropped() {  # dropped FILE: the kernel drop count a capture reported
    sed -n -e 's/^\([0-9]*\) packets dropped by kernel$/\1/p' \
        -e 's/^kestrel-dump: \([0-9]*\) packets dropped by the kernel$/\1/p' "$1" | tail -1
}

# trial PLACE COUNT RATE [pause]: one run of the three captures in
# namespace A on PLACE (loopback or veth), while COUNT datagrams go at RATE
# (0: as fast as the sender goes), the captures paused meanwhile with
# "pause". Sets `result` to "SENT SECONDS T_KEPT T_DROPS D_KEPT D_DROPS
# H_KEPT H_DROPS" and `rings` to the ring sizes in KiB.
trial() {
    local place="$1" count="$2" rate="$3" pause="${4:-}"
    local adapter name address sender_ns
    if [ "$place" = loopback ]; then
        adapter=lo name=127.0.0.1 address=127.0.0.1 sender_ns="$ns_a"
    else
        adapter="kb$$a" name=192.0.2.1 address=192.0.2.1 sender_ns="$ns_b"
    fi
    port=$((port + 1))
    local filter="udp dst port $port" d="$work/out/$port"
    mkdir "$d"
    chmod 0777 "$d"
    ip netns exec "$ns_a" "$send" listen "$address" "$port" &
    local listener=$!
    ip netns exec "$ns_a" tcpdump -i "$adapter" -s 65536 -w "$d/t.pcap" "$filter" 2>"$d/t.err" &
    local t=$!
    ip netns exec "$ns_a" "$dump" --capture "$name" -f "$filter" -w "$d/k.pcap" 2>"$d/k.err" &
    local k=$!
    ip netns exec "$ns_a" setpriv --reuid=nobody --regid=nogroup --groups=kestrel \
        --inh-caps=-all env KESTREL_CAPTURE_HELPER="$work/kestrel-capture" \
        bash -c "exec $dump --capture $name -f '$filter' -w $d/h.pcap 2>$d/h.err" &
    local h=$!
    pids=("$listener" "$t" "$k" "$h")
    local waited=0
    until [ "$(open_captures)" -ge 3 ]; do
        sleep 0.05
        waited=$((waited + 1))
        if [ "$waited" -gt 200 ]; then
            echo "the captures did not open:" >&2
            cat "$d"/*.err >&2
            exit 1
        fi
    done
    sleep 0.3
    local helper_pid
    helper_pid="$(cat /proc/"$h"/task/*/children 2>/dev/null | awk '{print $1}')"
    rings="$(ring_kib "$t") $(ring_kib "$k") $(ring_kib "${helper_pid:-$h}")"
    # What reads each ring: tcpdump, kestrel-dump, the helper.
    local readers=("$t" "$k" "${helper_pid:-$h}")
    [ -n "$pause" ] && kill -STOP "${readers[@]}"
    local sent
    sent="$(ip netns exec "$sender_ns" "$send" send "$address" "$port" "$count" "$rate")"
    [ -n "$pause" ] && kill -CONT "${readers[@]}"
    sleep 2
    kill -INT "$t" "$k" "$h"
    wait "$t" "$k" "$h" || true
    kill "$listener"
    wait "$listener" 2>/dev/null || true
    pids=()
    local kept
    kept=($("$send" count "$d/t.pcap" "$d/k.pcap" "$d/h.pcap"))
    result="$sent ${kept[0]} $(dropped "$d/t.err") ${kept[1]} $(dropped "$d/k.err") ${kept[2]} $(dropped "$d/h.err")"
    rm -rf "$d"
}

mib() { awk -v k="$1" 'BEGIN{printf "%.1f MiB", k / 1024}'; }

echo "$(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg) at the start"
for place in loopback veth; do
    echo
    if [ "$place" = loopback ]; then
        echo "== loopback (127.0.0.1, in a private namespace)"
    else
        echo "== veth pair (192.0.2.2 sends to 192.0.2.1, captured there; private namespaces)"
    fi
    printf "%-7s %4s %10s   %-18s %-18s %-18s\n" datagrams run "sent/s" "tcpdump kept/drops" \
        "direct kept/drops" "helper kept/drops"
    for count in 5000 50000; do
        fewest=(-1 -1 -1)
        for ((run = 1; run <= runs; ++run)); do
            trial "$place" "$count" 0
            read -r sent secs tk td dk dd hk hd <<<"$result"
            printf "%-7s %4d %10.0f   %-18s %-18s %-18s\n" "$count" "$run" \
                "$(awk -v n="$sent" -v s="$secs" 'BEGIN{print n / s}')" "$tk/$td" "$dk/$dd" "$hk/$hd"
            i=0
            for k in "$tk" "$dk" "$hk"; do
                if [ "${fewest[$i]}" -lt 0 ] || [ "$k" -lt "${fewest[$i]}" ]; then fewest[$i]=$k; fi
                i=$((i + 1))
            done
        done
        printf "%-7s %4s %10s   %-18s %-18s %-18s\n" "$count" fewest "" "${fewest[0]}" "${fewest[1]}" \
            "${fewest[2]}"
    done
    read -r rt rd rh <<<"$rings"
    echo "ring memory: tcpdump $(mib "$rt"), direct $(mib "$rd"), helper $(mib "$rh")"

    echo "-- ${seconds_per_rate} s at each rate"
    printf "%8s %10s   %-18s %-18s %-18s\n" rate "sent/s" "tcpdump kept/drops" "direct kept/drops" \
        "helper kept/drops"
    best=(0 0 0)
    whole=(1 1 1)
    for rate in "${rates[@]}"; do
        trial "$place" $((rate * seconds_per_rate)) "$rate"
        read -r sent secs tk td dk dd hk hd <<<"$result"
        reached="$(awk -v n="$sent" -v s="$secs" 'BEGIN{printf "%.0f", n / s}')"
        printf "%8d %10d   %-18s %-18s %-18s\n" "$rate" "$reached" "$tk/$td" "$dk/$dd" "$hk/$hd"
        i=0
        for k in "$tk" "$dk" "$hk"; do
            if [ "${whole[$i]}" = 1 ] && [ "$k" -eq "$sent" ]; then best[$i]=$reached; else whole[$i]=0; fi
            i=$((i + 1))
        done
        # The machine's limit: the sender fell short of the rate, or every
        # capture lost frames.
        if [ "$reached" -lt $((rate * 9 / 10)) ] ||
            [ "${whole[0]}${whole[1]}${whole[2]}" = 000 ]; then
            break
        fi
    done
    echo "highest rate kept whole (datagrams/s): tcpdump ${best[0]}, direct ${best[1]}, helper ${best[2]}"

    echo "-- drop counts: the captures paused while 400000 datagrams pass"
    trial "$place" 400000 0 pause
    read -r sent secs tk td dk dd hk hd <<<"$result"
    printf "%-10s %8s %8s %8s\n" "" kept dropped missing
    printf "%-10s %8d %8d %8d\n" tcpdump "$tk" "$td" $((sent - tk)) direct "$dk" "$dd" \
        $((sent - dk)) helper "$hk" "$hd" $((sent - hk))
done
echo
echo "load average $(cut -d' ' -f1-3 /proc/loadavg) at the end"
