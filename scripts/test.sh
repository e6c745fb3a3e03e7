#!/bin/sh
# Builds and runs the whole test suite three times: a normal build, AddressSanitizer with
# UndefinedBehaviorSanitizer, and ThreadSanitizer. Any failure or sanitizer report fails it.
set -eu
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"
jobs="$(nproc)"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
for flavour in normal address thread; do
    dir="$root/build/test-$flavour"
    sanitize=""
    [ "$flavour" != normal ] && sanitize="$flavour"
    echo "=== $flavour build ==="
    cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOVEL_SANITIZE="$sanitize" >/dev/null
    cmake --build "$dir" -j "$jobs"
    ctest --test-dir "$dir" --output-on-failure -j "$jobs"
done
echo "=== all test builds passed ==="
