#!/usr/bin/env bash
# Installs the Debian packages that building and testing need and that this machine lacks;
# a group named as an argument adds the packages of one more make target.
#   tools/install-deps.sh [bench|fuzz|unicode]
set -eu
packages="cmake make g++ clang-format libgtest-dev libgmock-dev libtomlplusplus-dev"
case "${1:-}" in
  "") ;;
  bench) packages="libbenchmark-dev rapidjson-dev" ;;
  # clang 16: the first to build aggregates from parentheses, as GCC 12 does.
  fuzz) packages="clang-16 libclang-rt-16-dev" ;;
  # Node.js may come from elsewhere with its own npm; Debian's npm is needed only without.
  unicode) command -v node >/dev/null && command -v npm >/dev/null && exit 0
           packages="nodejs npm" ;;
  *) echo "unknown group: $1" >&2; exit 2 ;;
esac
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
