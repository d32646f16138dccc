#!/usr/bin/env bash
# Runs one benchmark twice in the same run: on a plain folder, then on a folder inside a sealed store (a fresh
# gocryptfs store with a random key, opened for the run and closed after it), so that the two can be read as a
# ratio. Everything else (the machine, the build, the arguments) is the same. The store is mounted as tessaron
# mounts it (-kernel_cache).
# Usage: bench/sealed_side_by_side.sh WORK_FOLDER BENCHMARK [ARGUMENTS...]
#   e.g. bench/sealed_side_by_side.sh /tmp/side build/bench/bench_record_write 200
# The benchmark gets its folder as its first argument; its output is printed under "plain:" and "sealed:".
set -euo pipefail
if (($# < 2)); then
  echo "usage: bench/sealed_side_by_side.sh WORK_FOLDER BENCHMARK [ARGUMENTS...]" >&2
  exit 2
fi
work=$(realpath -m "$1")
bench=$2
shift 2
command -v gocryptfs >/dev/null || { echo "gocryptfs is not installed (scripts/setup installs it)" >&2; exit 1; }

mkdir -p "$work"
rm -rf "${work:?}/plain" "$work/sealed"
mkdir -p "$work/plain" "$work/sealed/cipher" "$work/sealed/open"
key=$(head -c 20 /dev/urandom | base32)
printf '%s\n' "$key" | gocryptfs -init -q "$work/sealed/cipher" >/dev/null
printf '%s\n' "$key" | gocryptfs -q -nosyslog -kernel_cache "$work/sealed/cipher" "$work/sealed/open"
trap 'fusermount3 -u -z "$work/sealed/open" 2>/dev/null || fusermount -u -z "$work/sealed/open"' EXIT

echo "plain:"
"$bench" "$work/plain/bench" "$@"
echo "sealed:"
"$bench" "$work/sealed/open/bench" "$@"
