#!/bin/sh
# The Windows build, cross-compiled with Debian's MinGW-w64 into build/windows:
#   ./scripts/windows.sh        installs what it needs, builds, prints where the DLLs and programs are
#   ./scripts/windows.sh test   also runs the test suite under Wine and prints one line of results
# libusb-1.0 for MinGW is built once from Debian's source package and kept in build/windows-libusb.
set -eu
root="$(cd "$(dirname "$0")/.." && pwd)"
action="${1:-build}"
jobs="$(nproc)"
if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi

missing=""
for p in $(cat "$root/scripts/deps/build.txt" "$root/scripts/deps/tests.txt" "$root/scripts/deps/windows.txt"); do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
    echo "installing:$missing"
    $sudo apt-get update -q
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends $missing
fi

# libusb-1.0 from Debian's source package: the same library MSYS2 and vcpkg ship.
libusb="$root/build/windows-libusb"
if [ ! -f "$libusb/bin/libusb-1.0.dll" ]; then
    src="$root/build/windows-libusb-src"
    rm -rf "$src"
    mkdir -p "$src"
    if ! (cd "$src" && apt-get source -q --download-only libusb-1.0) >"$src/fetch.log" 2>&1; then
        # Source packages need a deb-src entry beside the deb one.
        for list in /etc/apt/sources.list.d/*.sources; do
            [ -f "$list" ] || continue
            grep -q '^Types: deb$' "$list" || continue
            sed 's/^Types: deb$/Types: deb-src/' "$list" |
                $sudo tee "/etc/apt/sources.list.d/ovelcanfd-src-$(basename "$list")" >/dev/null
        done
        if [ -f /etc/apt/sources.list ]; then
            sed -n 's/^deb /deb-src /p' /etc/apt/sources.list |
                $sudo tee /etc/apt/sources.list.d/ovelcanfd-src.list >/dev/null
        fi
        $sudo apt-get update -q >/dev/null
        (cd "$src" && apt-get source -q --download-only libusb-1.0) >"$src/fetch.log" 2>&1 || {
            cat "$src/fetch.log" >&2; echo "cannot fetch libusb-1.0's source package" >&2; exit 1; }
    fi
    echo "building libusb-1.0 for MinGW (log: $src/build.log)"
    (cd "$src" && dpkg-source -x libusb-1.0_*.dsc libusb &&
     cd libusb && ./configure --host=x86_64-w64-mingw32 --prefix="$libusb" --disable-static &&
     make -j "$jobs" && make install) >"$src/build.log" 2>&1 || {
        tail -n 40 "$src/build.log" >&2; echo "libusb-1.0 did not build" >&2; exit 1; }
fi

dir="$root/build/windows"
mkdir -p "$dir"
linux_library="${OVEL_LINUX_LIBRARY:-}"
echo "cross-building into $dir (log: $dir/build.log)"
if ! { cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOVEL_WERROR=ON \
           -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
           -DOVEL_LIBUSB_ROOT="$libusb" -DOVEL_LINUX_LIBRARY="$linux_library" &&
       cmake --build "$dir" -j "$jobs"; } >"$dir/build.log" 2>&1; then
    grep -E -A6 "(error|warning):|CMake Error" "$dir/build.log" | head -n 80 || tail -n 40 "$dir/build.log"
    echo "windows: build failed (log: $dir/build.log)"
    exit 1
fi
echo "library:   $dir/bin/ovelcanfd.dll (import library $dir/src/libovelcanfd.dll.a), header include/ovelcanfd.h"
echo "simulator: $dir/bin/ovelcanfd-sim.dll"
echo "programs:  $dir/bin/ovelcanfd.exe, $dir/bin/ovelcanfd-sim.exe"
echo "libusb:    $dir/bin/libusb-1.0.dll (ship it beside ovelcanfd.dll)"
[ "$action" = test ] || exit 0

# Wine makes its prefix on first use (about 15 s); it is kept for the next runs.
export WINEPREFIX="$root/build/wine"
export WINEDEBUG=-all
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "making the Wine prefix in $WINEPREFIX"
    wineboot -i >"$dir/wineboot.log" 2>&1 || { cat "$dir/wineboot.log"; exit 1; }
fi
status=0
# One wineserver for the whole run: one that ends when idle can be leaving just as the next test
# connects, which then fails with "recvmsg: Connection reset by peer".
wineserver -k 2>/dev/null || true
wineserver -p
# Wine's own background processes start with the first program and stay with the server: started
# here, they hold no test's output open.
wine cmd /c exit </dev/null >/dev/null 2>&1 || true
ctest --test-dir "$dir" --output-on-failure -j "$jobs" >"$dir/test.log" 2>&1 || status=$?
wineserver -k 2>/dev/null || true
summary="$(grep -E "tests passed, [0-9]+ tests? failed out of [0-9]+" "$dir/test.log" | tail -n 1)"
if [ -z "$summary" ]; then
    tail -n 40 "$dir/test.log"
    echo "windows: ctest gave no summary (status $status)"
    exit 1
fi
total="$(echo "$summary" | sed -E 's/.* out of ([0-9]+).*/\1/')"
failures="$(echo "$summary" | sed -E 's/.*, ([0-9]+) tests? failed.*/\1/')"
if [ "$status" -ne 0 ] || [ "$failures" -ne 0 ]; then
    grep -v -E "Test +#[0-9]+: .* Passed|^ +Start +[0-9]+:" "$dir/test.log" | tail -n 200
fi
echo "windows: $((total - failures)) passed, $failures failed"
[ "$status" -eq 0 ] && [ "$failures" -eq 0 ]
