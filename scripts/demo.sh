#!/bin/sh
# Builds the ovelcanfd command-line tool on the built-in simulated adapter (no hardware) and
# shows its commands: info, dump of generated traffic, and dump in one process of what send and
# gen transmit in other processes on a bus shared through OVSIM_BUS. Finishes by itself.
set -eu
root="$(cd "$(dirname "$0")/.." && pwd)"
# Only what the tool's build needs: no test, fuzzing, Python or QEMU packages.
"$root/scripts/install-deps.sh" build
dir="$root/build/demo"
mkdir -p "$dir"
# The build's output goes to a log, shown only when the build fails.
echo "building the tool in $dir (log: $dir/build.log)"
if ! { cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOVEL_BUILD_TESTS=OFF &&
       cmake --build "$dir" -j "$(nproc)" --target ovelcanfd-cli ovelcanfd-cli-sim; } \
     >"$dir/build.log" 2>&1; then
    cat "$dir/build.log" >&2
    echo "the build failed (log: $dir/build.log)" >&2
    exit 1
fi
tool="$dir/tools/ovelcanfd/ovelcanfd-sim"
work="$(mktemp -d)"
dump_pid=""
cleanup() {
    [ -n "$dump_pid" ] && kill -INT "$dump_pid" 2>/dev/null && wait "$dump_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

step() { printf '\n$ %s\n' "$*"; }

step ovelcanfd-sim info
"$tool" info

step OVSIM_TRAFFIC=10 ovelcanfd-sim dump -n 4
OVSIM_TRAFFIC=10 "$tool" dump -n 4

step "OVSIM_BUS=$work/bus ovelcanfd-sim dump --fd -n 6 &    # another process on the same bus"
OVSIM_BUS="$work/bus" "$tool" dump --fd -n 6 >"$work/dump.out" 2>"$work/dump.err" &
dump_pid=$!
tries=0
until grep -q "listening on" "$work/dump.err" 2>/dev/null; do
    tries=$((tries + 1))
    if [ "$tries" -gt 200 ]; then
        echo "dump did not start:" >&2
        cat "$work/dump.err" >&2
        exit 1
    fi
    sleep 0.05
done
step "OVSIM_BUS=$work/bus ovelcanfd-sim send 0 123#DEADBEEF 1ABCDEF0##1112233445566778899AABB 7FF#R2"
OVSIM_BUS="$work/bus" "$tool" send 0 123#DEADBEEF 1ABCDEF0##1112233445566778899AABB 7FF#R2
step "OVSIM_BUS=$work/bus ovelcanfd-sim gen 1 --fd -g 20 -n 3 -I 42 -D i -L 12"
OVSIM_BUS="$work/bus" "$tool" gen 1 --fd -g 20 -n 3 -I 42 -D i -L 12
wait "$dump_pid"
dump_pid=""
echo "--- what the dump process printed:"
cat "$work/dump.out"

step ovelcanfd-sim gen 0 -r 2000 -n 1000
"$tool" gen 0 -r 2000 -n 1000

step ovelcanfd-sim send 0 123#XYZ
"$tool" send 0 123#XYZ || echo "(exit status $?)"
