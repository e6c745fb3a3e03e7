#!/bin/sh
# Builds the benchmark (RelWithDebInfo, no sanitizer) and prints its table: receive throughput,
# latency, transmit, CPU and memory of the library against the simulated adapter.
#   scripts/bench.sh [ovel_bench options]     e.g. --runs 3, --only tx, --smoke
set -eu
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"
dir="$root/build/bench"
cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOVEL_SANITIZE= >/dev/null
cmake --build "$dir" --target ovel_bench -j "$(nproc)" >/dev/null
exec "$dir/bench/ovel_bench" "$@"
