#!/usr/bin/env bash
# Runs every test from a fresh Debian 12 clone: installs the missing Debian packages, builds the
# plain and the sanitizer build, and runs CTest in both. Exits non-zero when anything fails.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(build-essential cmake pkg-config libgtest-dev libmariadb-dev libmicrohttpd-dev mariadb-server galera-4
          qt6-base-dev xvfb trayer xdotool imagemagick x11-utils openbox libsystemd-dev systemd
          prometheus lintian devscripts man-db haproxy galera-4 rsync socat)
tools/install_packages.sh "${packages[@]}"

jobs=$(nproc)
echo "== plain build"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure --timeout 900)

echo "== sanitizer build (AddressSanitizer + UndefinedBehaviorSanitizer)"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DLARVEK_SANITIZE=ON -DLARVEK_DESKTOP=OFF
cmake --build build-asan -j"$jobs"
(cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure --timeout 900)
echo "== all tests passed"
