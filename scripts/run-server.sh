#!/usr/bin/env bash
# Installs what is missing, builds the server, lays out a working demo
# configuration beside the built program and runs it in the foreground.
# Ctrl+C stops it. Run as root: following the change journal needs
# CAP_SYS_ADMIN and CAP_DAC_READ_SEARCH.
set -euo pipefail
cd "$(dirname "$0")/.."
root_dir=$(pwd)

scripts/install-deps.sh
scripts/build.sh build dirsync

bin="$root_dir/build/bin"
demo="$root_dir/build/demo-volume"

# The demo tree: drive D: is mapped to build/demo-volume, the task follows
# D:\Docs inside it and leaves D:\Docs\tmp out.
if [ ! -d "$demo/Docs" ]; then
  mkdir -p "$demo/Docs/reports/2026" "$demo/Docs/tmp" "$demo/Other"
  echo "Welcome to dirsync." > "$demo/Docs/readme.txt"
  echo "Quarterly figures" > "$demo/Docs/reports/2026/q1.txt"
  echo "scratch" > "$demo/Docs/tmp/scratch.txt"
  echo "not part of the task" > "$demo/Other/elsewhere.txt"
fi

# A self-signed certificate for the encrypted port, for localhost and
# 127.0.0.1, valid for a year. Clients verify it with --ca on this file.
tls="$bin/tls"
if [ ! -f "$tls/server.pem" ] || [ ! -f "$tls/server-key.pem" ]; then
  mkdir -p -m 0700 "$tls"
  (umask 077; openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 \
    -nodes -days 365 -subj "/CN=localhost" \
    -addext "subjectAltName=DNS:localhost,IP:127.0.0.1" \
    -keyout "$tls/server-key.pem" -out "$tls/server.pem" 2>/dev/null)
fi

if [ ! -f "$bin/dirsync.ini" ]; then
  cat > "$bin/dirsync.ini" <<INI
; dirsync demo configuration (see README.md).
[drives]
D = $demo

[task-1]
name = docs
path = D:\\Docs
exclude = tmp
timeout = 1000

[DB]
PORT = 3333
TLSPORT = 3334
CERT = tls/server.pem
KEY = tls/server-key.pem
INI
fi

# A credential for user "demo" on task "docs" (user/docs/demo): the file
# holds the token alone, without a line end. One of the older layout
# (user/docs-demo) from an earlier run still counts.
mkdir -p -m 0700 "$bin/user/docs"
if [ ! -f "$bin/user/docs/demo" ] && [ ! -f "$bin/user/docs-demo" ]; then
  (umask 077; printf '%s' "demo-token" > "$bin/user/docs/demo")
fi

echo "Demo tree: $demo  (task docs = D:\\Docs, port 3333, user demo, token demo-token)"
if grep -q '^TLSPORT' "$bin/dirsync.ini"; then
  echo "TLS: port 3334, certificate $tls/server.pem (dirsync-client --tls --port 3334 --ca $tls/server.pem)"
fi
exec "$bin/dirsync"
