#!/usr/bin/env bash
# Installs the Debian packages that building and testing need and that this machine lacks.
set -eu
packages="cmake make g++ libgtest-dev libgmock-dev libbenchmark-dev libtomlplusplus-dev rapidjson-dev"
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "missing Debian packages:$missing (run as root, or install them first)" >&2
  exit 1
fi
echo "installing:$missing"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq $missing
