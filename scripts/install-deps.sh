#!/usr/bin/env bash
# Installs every Debian package the project needs to build, test and run.
# Safe to run again: it only calls apt when something is missing.
set -euo pipefail

packages=(
  build-essential g++ cmake ninja-build ccache pkg-config git
  libace-dev zlib1g-dev libdeflate-dev libssl-dev openssl libpam0g-dev libsmbclient-dev
  libpam-modules passwd
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  redis-server iperf3 python3 gnuplot-nox rsync lsyncd watchman
)

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -q
  $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# The PAM service through which linkcore's KRL_LocalLogin checks its account.
pam_service="$(dirname "$0")/../linkcore/pam.d/linkcore"
if ! cmp -s "$pam_service" /etc/pam.d/linkcore; then
  echo "Installing /etc/pam.d/linkcore"
  $sudo install -m 0644 "$pam_service" /etc/pam.d/linkcore
fi
