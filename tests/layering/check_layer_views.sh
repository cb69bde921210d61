#!/usr/bin/env bash
# Checks that the layer order is enforced by the compiler: an include of a
# layer above fails in every lower layer's include view, and the same
# source compiles in the top layer's view (so the failure is the view's
# doing, not some other error).
#   check_layer_views.sh CXX VIEWS_DIR PROBE_SOURCE
set -euo pipefail
cxx="$1"; views="$2"; probe="$3"
out=$(mktemp); trap 'rm -f "$out"' EXIT

for layer in platform catalog journal tracking protocol; do
  if "$cxx" -std=c++20 -fsyntax-only -I "$views/$layer" "$probe" 2>"$out"; then
    echo "FAIL: the $layer layer could include app/server.h"; exit 1
  fi
  if ! grep -q "app/server.h" "$out"; then
    echo "FAIL: the $layer layer failed for another reason:"; cat "$out"; exit 1
  fi
done
if ! "$cxx" -std=c++20 -fsyntax-only -I "$views/app" "$probe" 2>"$out"; then
  echo "FAIL: the app layer cannot include its own header:"; cat "$out"; exit 1
fi
echo "every layer below app is refused app/server.h; app itself builds it"
