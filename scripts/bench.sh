#!/bin/sh
# Builds the benchmark and the library under test (RelWithDebInfo, no sanitizer, in build/bench)
# and prints the benchmark's tables. With --previous, the driver of an earlier commit is built
# too, with this tree's simulator, and both versions are measured in turn in one run.
#
#   scripts/bench.sh [--build-dir DIR] [--previous [REV]] [--plot] [ovel_bench options]
#     --build-dir DIR   where to configure and build (default build/bench)
#     --previous [REV]  compare with the driver (src/ and include/) of commit REV, default HEAD:
#                       uncommitted work is then compared with the last commit
#     --plot            also write the CSV (build/bench/results.csv unless --csv FILE is given)
#                       and draw docs/perf-cpu.png and docs/perf-p99.png from it
#                       (scripts/bench-plot.py; installs Debian's python3-matplotlib if missing)
#   ovel_bench options: --runs N, --only PARTS, --rates LIST, --timings LIST,
#                       --competitors LIST, --csv FILE, --smoke, --soak MINUTES
#                       (bench/ovel_bench.cpp)
#   e.g. scripts/bench.sh --previous --plot          the full comparison with the last commit
set -eu
root="$(cd "$(dirname "$0")/.." && pwd)"
dir="$root/build/bench"
previous=""
plot=0
csv=""

# Takes this script's own options out of the arguments; the rest goes to ovel_bench.
count=$#
while [ "$count" -gt 0 ]; do
    arg=$1
    shift
    count=$((count - 1))
    case "$arg" in
    --previous)
        previous=HEAD
        if [ "$count" -gt 0 ]; then
            case "$1" in
            -*) ;;
            *) previous=$1; shift; count=$((count - 1)) ;;
            esac
        fi
        ;;
    --plot) plot=1 ;;
    --build-dir)
        if [ "$count" -eq 0 ]; then
            echo "bench.sh: --build-dir needs a directory" >&2
            exit 2
        fi
        dir=$(mkdir -p "$1" && cd "$1" && pwd)
        shift
        count=$((count - 1))
        ;;
    --csv)
        if [ "$count" -eq 0 ]; then
            echo "bench.sh: --csv needs a file" >&2
            exit 2
        fi
        csv=$1
        shift
        count=$((count - 1))
        ;;
    *) set -- "$@" "$arg" ;;
    esac
done
if [ "$plot" -eq 1 ] && [ -z "$csv" ]; then
    csv="$dir/results.csv"
fi
if [ -n "$csv" ]; then
    set -- "$@" --csv "$csv"
fi

"$root/scripts/install-deps.sh"

previous_source=""
if [ -n "$previous" ]; then
    if ! commit="$(git -C "$root" rev-parse --verify --quiet "$previous^{commit}")"; then
        echo "bench.sh: no commit named $previous" >&2
        exit 2
    fi
    # Extracted again only when the commit's src/ or include/ differ from the last extraction,
    # so that an unchanged previous version is not rebuilt.
    previous_source="$dir/previous-source"
    trees="$(git -C "$root" rev-parse "$commit:src" "$commit:include" | tr '\n' ' ')"
    if [ "$(cat "$previous_source/.trees" 2>/dev/null || true)" != "$trees" ]; then
        rm -rf "$previous_source"
        mkdir -p "$previous_source"
        git -C "$root" archive "$commit" src include | tar -x -C "$previous_source"
        echo "$trees" > "$previous_source/.trees"
    fi
    echo "bench.sh: previous version: $previous ($commit)" >&2
fi

cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOVEL_SANITIZE= \
    -DOVEL_BENCH_PREVIOUS_SOURCE="$previous_source" >/dev/null
cmake --build "$dir" --target ovel_bench -j "$(nproc)" >/dev/null

set -- --current "$dir/sim/libovelcanfd-sim.so" "$@"
if [ -n "$previous" ]; then
    set -- --previous "$dir/bench/libovelcanfd-prev.so" "$@"
fi
status=0
"$dir/bench/ovel_bench" "$@" || status=$?

if [ "$plot" -eq 1 ] && [ -s "$csv" ]; then
    if ! /usr/bin/python3 -c 'import matplotlib' 2>/dev/null; then
        echo "bench.sh: installing python3-matplotlib for the plots" >&2
        if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
        $sudo apt-get update
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends \
            python3-matplotlib
    fi
    /usr/bin/python3 "$root/scripts/bench-plot.py" "$csv" "$root/docs"
fi
exit "$status"
