#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks for building and testing
# Quellgate: the compiler, CMake, GoogleTest and Google Benchmark, all from
# Debian's own packages.  As root it installs them with apt-get; otherwise
# it names the exact command and fails.
set -euo pipefail

need=()
have_cmd() { command -v "$1" >/dev/null 2>&1; }
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

have_cmd cmake || need+=(cmake)
have_cmd g++ || need+=(g++)
have_cmd make || need+=(make)
for pkg in libgtest-dev libgmock-dev libbenchmark-dev; do
  have_pkg "$pkg" || need+=("$pkg")
done
for pkg in "$@"; do
  have_pkg "$pkg" || need+=("$pkg")
done

[ ${#need[@]} -eq 0 ] && exit 0

cmd="apt-get install -y --no-install-recommends ${need[*]}"
if [ "$(id -u)" -eq 0 ]; then
  echo "bootstrap: installing ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  $cmd
else
  echo "bootstrap: missing ${need[*]}; run as root:" >&2
  echo "  apt-get update && $cmd" >&2
  exit 1
fi
