#!/usr/bin/env bash
# Lists, one per line, the executables of every CPython 3.12 or later on this machine:
# the pyenv versions first, then any python3.1N on PATH that pyenv does not already give.
set -u
seen=" "
emit() {
  local exe=$1 real
  [ -x "$exe" ] || return 0
  # the interpreter names its own file, so a shim and its target count once
  real=$("$exe" -c 'import os, sys
if sys.implementation.name != "cpython" or sys.version_info < (3, 12): sys.exit(1)
print(os.path.realpath(sys.executable))' 2>/dev/null) || return 0
  case "$seen" in *" $real "*) return 0 ;; esac
  seen="$seen$real "
  echo "$exe"
}
if command -v pyenv >/dev/null 2>&1; then
  for v in $(pyenv versions --bare 2>/dev/null); do
    case "$v" in 3.1[2-9]*|3.[2-9][0-9]*) ;; *) continue ;; esac
    root=$(pyenv prefix "$v" 2>/dev/null) || continue
    emit "$root/bin/python3"
  done
fi
for n in 12 13 14 15 16 17 18 19; do
  exe=$(command -v "python3.$n" 2>/dev/null) && emit "$exe"
done
exit 0
