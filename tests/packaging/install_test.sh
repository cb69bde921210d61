#!/usr/bin/env bash
# Installs a build into a temporary prefix and runs the installed server
# from there, as an operator would after cmake --install:
#  - the layout: programs, library, configuration, unit, data/ and user/;
#  - the programs find the installed library (RPATH), not the build's;
#  - the installed dirsync starts on a task, logs the network status on
#    SIGUSR1 and ends with status 0 on SIGTERM;
#  - installing again keeps the operator's dirsync.ini.
#   install_test.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)

work=$(mktemp -d)
server_pid=""
cleanup() {
  if [ -n "$server_pid" ]; then kill -KILL "$server_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
check() { local what=$1; shift; "$@" || fail "$what"; }

prefix="$work/opt/dirsync"
cmake --install "$build" --prefix "$prefix" >"$work/install1.log"

# -- Layout
bin="$prefix/bin"
for f in dirsync dirsync-dump dirsync-user linkcore-setpass; do
  check "bin/$f is an installed program" test -x "$bin/$f"
done
if [ -x "$build/bin/dirsync-client" ]; then
  check "bin/dirsync-client is installed with the build that has it" test -x "$bin/dirsync-client"
fi
check "the library is installed under its soname" test -f "$prefix/lib/liblinkcore.so.1"
check "the example configuration is installed" test -f "$bin/dirsync.ini.example"
check "a first installation gets dirsync.ini from the example" \
  cmp -s "$bin/dirsync.ini" "$bin/dirsync.ini.example"
check "data/ is beside the program" test -d "$bin/data"
check "user/ is readable by its owner alone" test "$(stat -c %a "$bin/user")" = 700
check "the header is installed" test -f "$prefix/include/linkcore.h"

unit="$prefix/lib/systemd/system/dirsync.service"
check "the systemd unit is installed" test -f "$unit"
check "the unit starts the installed program" grep -qx "ExecStart=$bin/dirsync" "$unit"
for cap in CAP_SYS_ADMIN CAP_DAC_READ_SEARCH CAP_NET_BIND_SERVICE; do
  check "the unit keeps $cap" grep -q "^AmbientCapabilities=.*$cap" "$unit"
  check "the unit bounds to $cap" grep -q "^CapabilityBoundingSet=.*$cap" "$unit"
done
check "the unit restarts on failure" grep -qx "Restart=on-failure" "$unit"
check "the unit logs to the journal" grep -qx "StandardOutput=journal" "$unit"
if command -v systemd-analyze >/dev/null; then
  if ! systemd-analyze verify "$unit" >"$work/verify.log" 2>&1; then
    fail "systemd does not accept the unit"; cat "$work/verify.log" >&2
  fi
fi

for f in dirsync dirsync-dump; do
  runpath=$(readelf -d "$bin/$f" | sed -n 's/.*R\(UN\)\?PATH.*\[\(.*\)\]/\2/p')
  check "$f looks for its library in \$ORIGIN/../lib (has '$runpath')" \
    test "$runpath" = '$ORIGIN/../lib'
done

# -- An operator's configuration survives another installation
mkdir -p "$work/volume/Docs/sub"
echo hello >"$work/volume/Docs/sub/a.txt"
config="; written by the operator
[drives]
D = $work/volume
[task-1]
name = docs
path = D:\\Docs
timeout = 100
[DB]
PORT = 0
"
printf '%s' "$config" >"$bin/dirsync.ini"
cmake --install "$build" --prefix "$prefix" >"$work/install2.log"
check "installing again keeps the operator's dirsync.ini" \
  test "$(cat "$bin/dirsync.ini"; echo .)" = "$config."
check "installing again says it kept the configuration" \
  grep -q "Kept: $bin/dirsync.ini" "$work/install2.log"

# -- The installed server runs from its prefix
wait_for() {  # wait_for PATTERN FILE SECONDS
  local i
  for i in $(seq $(($3 * 20))); do
    grep -q -- "$1" "$2" 2>/dev/null && return 0
    sleep 0.05
  done
  return 1
}
(cd / && exec env -u LD_LIBRARY_PATH "$bin/dirsync" >"$work/server.log" 2>&1) &
server_pid=$!
if ! wait_for "Quillon Directory Sync Server" "$work/server.log" 20; then
  fail "the installed server did not start"; cat "$work/server.log" >&2; exit 1
fi
# Ask for the status until the library reports its threads (a request
# that comes before it has started reports none).
for _ in $(seq 40); do
  kill -USR1 "$server_pid"
  wait_for "Net Threads: 6" "$work/server.log" 1 && break
done
check "SIGUSR1 logs the network status" grep -q " Net Status:$" "$work/server.log"
check "the status names the listening port" grep -q " Listen Ports: 1$" "$work/server.log"
check "the status names the network threads" grep -q "Net Threads: 6$" "$work/server.log"
library=$(grep -o "/[^ ]*liblinkcore[^ ]*" "/proc/$server_pid/maps" | sort -u)
check "the server runs on the installed library (it loaded '$library')" \
  test "$library" = "$prefix/lib/liblinkcore.so.1.0.0"
check "the store is made in data/ beside the installed program" \
  test -s "$bin/data/docs.db"

kill -TERM "$server_pid"
status=0
wait "$server_pid" || status=$?
server_pid=""
check "SIGTERM ends the installed server with status 0 (got $status)" test "$status" -eq 0
check "the server logs its exit" grep -q " Exit!$" "$work/server.log"
check "the installed dirsync-dump reads the store" \
  "$bin/dirsync-dump" "$bin/data/docs.db" >"$work/dump.log"

if [ "$failures" -ne 0 ]; then
  echo "--- server log" >&2; cat "$work/server.log" >&2
  exit 1
fi
echo "install test passed"
