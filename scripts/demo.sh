#!/bin/sh
# Builds the library and runs the demo against the built-in simulated adapter.
set -eu
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"
dir="$root/build/demo"
cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOVEL_BUILD_TESTS=OFF >/dev/null
cmake --build "$dir" -j "$(nproc)" --target ovelcanfd ovelcanfd-sim-demo
exec "$dir/tools/ovelcanfd-sim-demo" "$@"
