#!/usr/bin/env bash
# Hostile and heavy clients against the server's client-link code on
# linkcore (protocol_bench_server: task "bench", a 3 MiB store, an 8 MiB
# file), each on a server of its own, on loopback:
#  - 100 connections that never log in, each announcing a 16 MiB frame and
#    sending all of it but a byte; then the same with frames just under
#    the pre-login limit (64 KiB): the server's added resident memory;
#  - 5 logged-in clients that send 1,000 "dload" requests of 4 MiB each
#    and never read: the added resident memory;
#  - ping round trips of one client while 50 others take zipped listings
#    of the whole store, one after another: median, p99 and maximum, beside
#    the same pings on an idle server;
#  - 1,000 logged-in clients that each listed the store once: the added
#    resident memory, and what stays once they have left.
#   bench/run_hostile_bench.sh [BUILD_DIR] [PING_SECONDS]
# PING_SECONDS (default 10) is the length of each ping run: a ping is due
# every 5 ms, so its p99 counts the worst 1% of that time, and a shorter
# run lets one hiccup of a shared machine decide it.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
seconds="${2:-10}"
scripts/build.sh "$build" protocol_bench_server protocol_load_client hostile_client >/dev/null
bin="$build/bin"
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true

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
rss_mib() { awk '/VmRSS/ {printf "%.1f", $2 / 1024}' "/proc/$1/status"; }
minus() { python3 -c "print('%.1f' % ($1 - $2))"; }

# Starts a fresh bench server in $work/$1; sets $port and $server_pid.
start_server() {
  local name=$1
  port=$(free_port)
  mkfifo "$work/$name.in"
  "$bin/protocol_bench_server" "$work/$name" "$port" 3072 8 \
    <"$work/$name.in" >"$work/$name.log" 2>"$work/$name.err" &
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

# Runs one holding client (its arguments) until it prints "held"; sets
# $held_pid and keeps its standard input open on fd 4.
hold_clients() {
  local out=$1
  shift
  mkfifo "$out.in"
  "$@" <"$out.in" >"$out" 2>&1 &
  held_pid=$!
  pids+=("$held_pid")
  exec 4>"$out.in"
  for _ in $(seq 3000); do
    grep -q held "$out" 2>/dev/null && return 0
    kill -0 "$held_pid" 2>/dev/null || { cat "$out" >&2; exit 1; }
    sleep 0.1
  done
  echo "clients did not settle: $*" >&2
  exit 1
}
release_clients() {
  exec 4>&-
  wait "$held_pid" 2>/dev/null || true
}

# A memory scenario: name, then the client command, in which the word
# PORT stands for the server's port. Prints one line.
memory_case() {
  local name=$1
  shift
  start_server "$name"
  local args=()
  for a in "$@"; do [ "$a" = PORT ] && args+=("$port") || args+=("$a"); done
  local before during after
  before=$(rss_mib "$server_pid")
  hold_clients "$work/$name.out" "${args[@]}"
  sleep 1  # let the server finish what it was given
  during=$(rss_mib "$server_pid")
  release_clients
  sleep 1
  after=$(rss_mib "$server_pid")
  echo "case=$name rss_before=${before}MiB rss_during=${during}MiB added=$(minus "$during" "$before")MiB" \
       "rss_after_leaving=${after}MiB kept=$(minus "$after" "$before")MiB"
  grep -v '^held' "$work/$name.out" | sed 's/^/  /' || true
  stop_server
}

echo "== resident memory added by hostile clients"
memory_case flood16m "$bin/hostile_client" flood PORT 100 16777216
memory_case flood64k "$bin/hostile_client" flood PORT 100 65536
memory_case noread "$bin/hostile_client" noread PORT 5 1000
memory_case list1000 "$bin/protocol_load_client" hold PORT 1000

echo "== ping round trips while 50 clients take zipped listings (${seconds} s)"
start_server ping
"$bin/hostile_client" pinglat "$port" "$seconds" | sed 's/^pinglat/idle/'
"$bin/hostile_client" zlist "$port" 50 "$((seconds + 3))" >"$work/zlist.out" 2>&1 &
zlist_pid=$!
pids+=("$zlist_pid")
for _ in $(seq 300); do grep -q ready "$work/zlist.out" && break; sleep 0.1; done
sleep 1
"$bin/hostile_client" pinglat "$port" "$seconds" | sed 's/^pinglat/loaded/'
wait "$zlist_pid"
cat "$work/zlist.out" | grep -v ready
stop_server
