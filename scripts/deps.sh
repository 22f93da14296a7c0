#!/usr/bin/env bash
# Installs the Debian packages the build needs, only those that are missing.
# Usage: scripts/deps.sh [extra-package...]
set -euo pipefail

packages=(cmake g++ make pkg-config zlib1g-dev libcrypto++-dev libicu-dev qt6-base-dev
          libgtest-dev libgmock-dev libsqlite3-dev sqlite3 "$@")
missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if ((${#missing[@]})); then
  if [ "$(id -u)" -ne 0 ]; then
    echo "deps: missing packages: ${missing[*]} (run as root to install them)" >&2
    exit 1
  fi
  echo "deps: installing ${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
