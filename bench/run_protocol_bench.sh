#!/usr/bin/env bash
# Runs the protocol benchmarks on loopback and prints the figures:
#  - ping round trips/s with 50 and 1,000 logged-in clients, beside RESP
#    PING against redis-server with the same client and concurrency;
#  - "list" MiB/s reading a 64 MiB store from 0, plain and zipped;
#  - "dload" MiB/s for a 256 MiB file in 4 MiB ranges, plain and zipped;
#    each beside iperf3's raw loopback TCP throughput for the same bytes;
#  - "dload" zipped beside plain for a 256 MiB file of random bytes, which
#    the server sends stored rather than compressed;
#  - the server's resident memory with 1,000 logged-in clients that have
#    each listed once (stores of 64 KiB and 1 MiB);
#  - ping (50 clients) and dload over TLS beside the same over the plain
#    port of the same server, in the same run.
# Everything runs on 127.0.0.1 and stops by itself.
#   bench/run_protocol_bench.sh [BUILD_DIR] [PING_SECONDS]
# PING_SECONDS (default 5) is the length of each ping run; 0 leaves the
# ping figures out (bench/run measures them against the client count).
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
ping_seconds="${2:-5}"
scripts/build.sh "$build" protocol_bench_server protocol_load_client >/dev/null
bin="$build/bin"
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true  # 1,000 clients need more than 1,024 descriptors

work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

# Starts a bench server (store KiB, file MiB) in $work/$1; sets $port and
# $server_pid; its standard input stays open on fd 3.
start_server() {
  local name=$1 store=$2 file=$3
  shift 3
  port=$(free_port)
  mkfifo "$work/$name.in"
  "$bin/protocol_bench_server" "$work/$name" "$port" "$store" "$file" "$@" \
    <"$work/$name.in" >/dev/null 2>"$work/$name.err" &
  server_pid=$!
  pids+=("$server_pid")
  exec 3>"$work/$name.in"
  for _ in $(seq 600); do
    grep -q ready "$work/$name.err" 2>/dev/null && return 0
    sleep 0.1
  done
  echo "server $name did not start" >&2
  exit 1
}
stop_server() {
  exec 3>&-
  wait "$server_pid" 2>/dev/null || true
}
rss_mib() { awk '/VmRSS/ {printf "%.1f", $2 / 1024}' "/proc/$1/status"; }

iperf_port=$(free_port)
iperf3 -s -p "$iperf_port" >/dev/null 2>&1 &
pids+=($!)
redis_port=$(free_port)
redis-server --port "$redis_port" --save "" --appendonly no >/dev/null 2>&1 &
pids+=($!)
sleep 0.5

# Raw loopback TCP throughput of n MiB, in MiB/s.
iperf_mib() {
  iperf3 -c 127.0.0.1 -p "$iperf_port" -n "${1}M" -J |
    python3 -c 'import json,sys; print("%.1f" % (json.load(sys.stdin)["end"]["sum_received"]["bits_per_second"]/8/1048576))'
}
ratio() { python3 -c "print('%.2f' % ($1 / $2))"; }
# The middle one of three figures.
median() { printf '%s\n' "$@" | sort -g | sed -n 2p; }

start_server main 65536 256
if [ "$ping_seconds" != 0 ]; then
  echo "== ping round trips per second (${ping_seconds} s each)"
  for n in 50 1000; do
    d=$("$bin/protocol_load_client" ping "$port" dirsync "$n" "$ping_seconds")
    r=$("$bin/protocol_load_client" ping "$redis_port" resp "$n" "$ping_seconds")
    echo "clients=$n dirsync=$d redis=$r ratio=$(ratio "$d" "$r")"
  done
fi

echo "== list, 64 MiB store from position 0 (3 rounds)"
raw=$(iperf_mib 64)
for zip in 0 1; do
  v=$("$bin/protocol_load_client" list "$port" "$zip" 3)
  echo "zip=$zip list=${v}MiB/s iperf3=${raw}MiB/s ratio=$(ratio "$v" "$raw")"
done

echo "== dload, 256 MiB file in 4 MiB ranges"
raw=$(iperf_mib 256)
for zip in 0 1; do
  v=$("$bin/protocol_load_client" dload "$port" "$zip" 1)
  echo "zip=$zip dload=${v}MiB/s iperf3=${raw}MiB/s ratio=$(ratio "$v" "$raw")"
done
stop_server

echo "== dload, 256 MiB of random bytes in 4 MiB ranges, zipped beside plain (3 runs each, alternating)"
start_server random 64 256:random
ps=() zs=()
for _ in 1 2 3; do
  ps+=("$("$bin/protocol_load_client" dload "$port" 0 1)")
  zs+=("$("$bin/protocol_load_client" dload "$port" 1 1)")
done
p=$(median "${ps[@]}")
z=$(median "${zs[@]}")
echo "random dload plain=${p}MiB/s zipped=${z}MiB/s ratio=$(ratio "$z" "$p")"
stop_server

echo "== resident memory, 1000 logged-in clients that listed once from 0"
# Each list returns the whole store here; with a store of 4 MiB or more
# every client would hold 4 MiB of read buffer and 4 MiB of reply.
for store_kib in 64 1024; do
  start_server "hold$store_kib" "$store_kib" 1
  before=$(rss_mib "$server_pid")
  mkfifo "$work/hold$store_kib.cin"
  "$bin/protocol_load_client" hold "$port" 1000 <"$work/hold$store_kib.cin" >"$work/hold$store_kib.out" &
  hold_pid=$!
  pids+=("$hold_pid")
  exec 4>"$work/hold$store_kib.cin"
  for _ in $(seq 1200); do grep -q held "$work/hold$store_kib.out" 2>/dev/null && break; sleep 0.1; done
  after=$(rss_mib "$server_pid")
  echo "store=${store_kib}KiB rss_idle=${before}MiB rss_1000_clients=${after}MiB"
  exec 4>&-
  wait "$hold_pid" 2>/dev/null || true
  stop_server
done

echo "== TLS beside plain, the same server (ping 50 clients for 3 s, dload 256 MiB; 3 runs each)"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 \
  -subj "/CN=127.0.0.1" -addext "subjectAltName=IP:127.0.0.1" \
  -keyout "$work/tls-key.pem" -out "$work/tls.pem" 2>/dev/null
tls_port=$(free_port)
start_server tls 64 256 "$tls_port" "$work/tls.pem" "$work/tls-key.pem"
tls=(--tls "$work/tls.pem")
# Three runs each, plain and TLS in turn, and their medians: a single run
# on a shared machine swings by more than the difference measured.
ps=() ts=()
for _ in 1 2 3; do
  ps+=("$("$bin/protocol_load_client" ping "$port" dirsync 50 3)")
  ts+=("$("$bin/protocol_load_client" "${tls[@]}" ping "$tls_port" dirsync 50 3)")
done
p=$(median "${ps[@]}")
t=$(median "${ts[@]}")
echo "tls ping clients=50 plain=$p tls=$t ratio=$(ratio "$t" "$p")" \
  "(medians of 3: plain ${ps[*]}; tls ${ts[*]})"
for zip in 0 1; do
  ps=() ts=()
  for _ in 1 2 3; do
    ps+=("$("$bin/protocol_load_client" dload "$port" "$zip" 1)")
    ts+=("$("$bin/protocol_load_client" "${tls[@]}" dload "$tls_port" "$zip" 1)")
  done
  p=$(median "${ps[@]}")
  t=$(median "${ts[@]}")
  echo "tls dload zip=$zip plain=${p}MiB/s tls=${t}MiB/s ratio=$(ratio "$t" "$p")" \
    "(medians of 3: plain ${ps[*]}; tls ${ts[*]})"
done
stop_server
