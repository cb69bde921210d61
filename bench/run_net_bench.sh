#!/usr/bin/env bash
# Network benchmark: the same epoll load client against linkcore echo hosts
# and a private redis-server, in one run.
#
#   bench/run_net_bench.sh [BUILD_DIR] [ROUNDS] [SECONDS]
#
# Prints, per connection count, the median round trips per second of each
# server over ROUNDS alternating runs, and the server's CPU time per round
# trip (less sensitive to other load on the machine); then one connection
# streaming 1 GiB through the echo (MiB/s, host peak memory), and the time
# to serve a new connection while 10,000 idle ones are held.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
rounds="${2:-3}"
seconds="${3:-2}"
bin="$build/bin"
[ -x "$bin/net_echo_host" ] && [ -x "$bin/net_load_client" ] ||
  scripts/build.sh "$build" net_echo_host net_load_client
command -v redis-server >/dev/null || scripts/install-deps.sh

ulimit -n "$(ulimit -Hn)"
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

# start_echo NAME THREADS: starts an echo host; sets port_NAME and pid_NAME.
start_echo() {
  local port
  port=$(free_port)
  "$bin/net_echo_host" "$port" "$2" >"$work/$1.out" &
  pids+=($!)
  eval "port_$1=$port pid_$1=$!"
  for _ in $(seq 100); do grep -q ready "$work/$1.out" 2>/dev/null && return; sleep 0.05; done
  echo "echo host $1 did not start" >&2; exit 1
}

start_redis() {
  port_redis=$(free_port)
  redis-server --port "$port_redis" --bind 127.0.0.1 --save '' --appendonly no \
    --maxclients 10100 --loglevel warning --daemonize no >"$work/redis.out" 2>&1 &
  pid_redis=$!
  pids+=($pid_redis)
  for _ in $(seq 100); do
    redis-cli -p "$port_redis" ping >/dev/null 2>&1 && return; sleep 0.05
  done
  echo "redis-server did not start" >&2; exit 1
}

cpu_ticks() {  # user + system clock ticks of a process
  awk '{print $14 + $15}' "/proc/$1/stat"
}

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

start_echo one 1
start_echo five 5
start_redis
hz=$(getconf CLK_TCK)

echo "Round trips per second (median of $rounds runs of ${seconds}s), and server CPU microseconds per round trip"
printf "%-12s %18s %18s %18s %10s\n" connections "echo, 1 thread" "echo, 5 threads" "redis-server" "1t/redis"
for conns in 1 50 1000; do
  for target in one five redis; do : >"$work/rt_$target" >"$work/cpu_$target"; done
  for _ in $(seq "$rounds"); do
    for target in one five redis; do
      eval "port=\$port_$target pid=\$pid_$target"
      proto=echo; [ "$target" = redis ] && proto=resp
      before=$(cpu_ticks "$pid")
      line=$("$bin/net_load_client" "$port" "$proto" pingpong "$conns" "$seconds")
      after=$(cpu_ticks "$pid")
      rate=$(sed 's/.*round_trips_per_sec=//' <<<"$line")
      echo "$rate" >>"$work/rt_$target"
      # Ticks cover the warm-up half second too.
      awk -v t=$((after - before)) -v hz="$hz" -v r="$rate" -v s="$seconds" \
        'BEGIN {printf "%.2f\n", t / hz * 1e6 / (r * (s + 0.5))}' >>"$work/cpu_$target"
    done
  done
  for target in one five redis; do
    eval "rt_$target=\$(median <\"$work/rt_$target\")"
    eval "cpu_$target=\$(median <\"$work/cpu_$target\")"
  done
  printf "%-12s %10s %5sus %10s %5sus %10s %5sus %10s\n" "$conns" \
    "$rt_one" "$cpu_one" "$rt_five" "$cpu_five" "$rt_redis" "$cpu_redis" \
    "$(awk -v a="$rt_one" -v b="$rt_redis" 'BEGIN {printf "%.2f", a / b}')"
done

echo
echo "One connection streaming 1 GiB through a fresh echo host (1 thread)"
start_echo stream 1
"$bin/net_load_client" "$port_stream" echo stream 1073741824
kill -TERM "$pid_stream"; wait "$pid_stream" 2>/dev/null || true
grep peak_rss_kib "$work/stream.out"

echo
echo "10,000 idle connections held while new ones are served (20 probes)"
start_echo idle 5
printf "echo, 5 threads: "; "$bin/net_load_client" "$port_idle" echo idle 10000
printf "redis-server:    "; "$bin/net_load_client" "$port_redis" resp idle 10000
