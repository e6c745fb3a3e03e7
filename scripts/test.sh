#!/bin/sh
# Builds and runs the whole test suite three times: a normal build, AddressSanitizer with
# UndefinedBehaviorSanitizer, and ThreadSanitizer, each in build/test-FLAVOUR with warnings as
# errors; the AddressSanitizer build also takes the portable waits and clocks that macOS and the
# BSDs build (OVEL_PORTABLE_PLATFORM). Then a fourth flavour, windows: the MinGW-w64 cross build
# run under Wine (scripts/windows.sh test). Prints one line per flavour; the build and test output
# goes to build.log and test.log in the flavour's tree, and what failed is shown. Any failure,
# warning or sanitizer report fails it.
set -eu
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"
jobs="$(nproc)"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
failed=""
for flavour in normal address thread; do
    dir="$root/build/test-$flavour"
    sanitize=""
    [ "$flavour" != normal ] && sanitize="$flavour"
    portable=OFF
    [ "$flavour" = address ] && portable=ON
    mkdir -p "$dir"
    if ! { cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOVEL_SANITIZE="$sanitize" \
               -DOVEL_PORTABLE_PLATFORM="$portable" -DOVEL_WERROR=ON &&
           cmake --build "$dir" -j "$jobs"; } >"$dir/build.log" 2>&1; then
        echo "$flavour: build failed; from $dir/build.log:"
        excerpt="$(grep -E -A6 "(error|warning):|CMake Error" "$dir/build.log" | head -n 80)" || true
        if [ -n "$excerpt" ]; then echo "$excerpt"; else tail -n 40 "$dir/build.log"; fi
        failed="$failed $flavour"
        continue
    fi
    if ctest --test-dir "$dir" --output-on-failure -j "$jobs" >"$dir/test.log" 2>&1; then
        status=0
    else
        status=$?
    fi
    # "100% tests passed, 0 tests failed out of 221"
    summary="$(grep -E "tests passed, [0-9]+ tests? failed out of [0-9]+" "$dir/test.log" | tail -n 1)"
    total="$(echo "$summary" | sed -E 's/.* out of ([0-9]+).*/\1/')"
    failures="$(echo "$summary" | sed -E 's/.*, ([0-9]+) tests? failed.*/\1/')"
    if [ -z "$summary" ]; then
        echo "$flavour: ctest gave no summary (status $status); $dir/test.log:"
        tail -n 40 "$dir/test.log"
        failed="$failed $flavour"
        continue
    fi
    echo "$flavour: $((total - failures))/$total passed"
    if [ "$status" -ne 0 ] || [ "$failures" -ne 0 ]; then
        # Everything but the passing tests' lines: the failures' output and the list at the end.
        grep -v -E "Test +#[0-9]+: .* Passed|^ +Start +[0-9]+:" "$dir/test.log"
        failed="$failed $flavour"
    fi
done
started="$(date +%s)"
if OVEL_LINUX_LIBRARY="$root/build/test-normal/src/libovelcanfd.so" "$root/scripts/windows.sh" test \
        >"$root/build/windows-test.out" 2>&1; then
    tail -n 1 "$root/build/windows-test.out"
else
    grep -v -E "^(library|simulator|programs|libusb|cross-building|making the Wine)" \
        "$root/build/windows-test.out" | tail -n 120
    failed="$failed windows"
fi
echo "windows: took $(( $(date +%s) - started )) s"
if [ -n "$failed" ]; then
    echo "failed:$failed"
    exit 1
fi
echo "all test builds passed"
