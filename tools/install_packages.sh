#!/usr/bin/env bash
# Installs those of the given Debian packages that are missing (apt-get; through sudo when not
# run as root). Used by run_tests.sh and run_server.sh.
set -euo pipefail
missing=()
for p in "$@"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
((${#missing[@]})) || exit 0
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "== installing: ${missing[*]}"
$sudo apt-get update
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
