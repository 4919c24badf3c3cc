#!/bin/sh
# Installs what a fresh Debian machine lacks to build and test the library.
set -e
pkgs=""
need() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "ok installed" || pkgs="$pkgs $1"; }
for p in cmake ninja-build g++ make libgtest-dev libbenchmark-dev libstb-dev; do need $p; done
[ -z "$pkgs" ] && exit 0
if [ "$(id -u)" = 0 ]; then
  echo "bootstrap: installing$pkgs"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq >/dev/null
  apt-get install -y -qq --no-install-recommends $pkgs >/dev/null
else
  echo "bootstrap: missing packages. Run as root:"
  echo "  apt-get install -y$pkgs"
  exit 1
fi
