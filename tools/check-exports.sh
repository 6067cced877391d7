#!/usr/bin/env bash
# Fails unless the extension module's dynamic symbol table defines PyInit__velorn and no
# other symbol.
set -eu
module=$1
exports=$(nm -D --defined-only "$module" | awk '{print $NF}')
if [ "$exports" != "PyInit__velorn" ]; then
  echo "$module exports more than PyInit__velorn:" >&2
  echo "$exports" | grep -vx PyInit__velorn | head -n 20 >&2
  exit 1
fi
