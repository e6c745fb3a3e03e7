#!/bin/bash
# Builds a small Linux guest (Debian's 6.1 kernel, busybox, Debian's libusb) and runs the
# driver's real-stack test in it under QEMU, against the host-side gs_usb emulator. The emulator
# starts with immediate answers; the test's last pass switches it (bench command "timing fs")
# to a full-speed device on USB's 1 ms frames and receives a paced stream. A second emulator, a
# firmware with the kernel's request numbering, termination and identify, stays unplugged until
# the test plugs it in (over the guest's second bench port) to use two adapters at once.
#
# run-guest-tests.sh --emulator PATH --test-program PATH --library PATH --work-dir DIR
#
# The kernel package is fetched once with apt-get download and kept in DIR/kernel. Fails
# (nonzero, with the reason) when anything it needs is missing; it never skips.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
emulator="" test_program="" library="" work=""
while [ $# -gt 0 ]; do
    case "$1" in
        --emulator) emulator="$2" ;;
        --test-program) test_program="$2" ;;
        --library) library="$2" ;;
        --work-dir) work="$2" ;;
        *) echo "run-guest-tests: unknown option $1" >&2; exit 2 ;;
    esac
    shift 2
done

fail() {
    echo "QEMU GUEST TEST FAILED: $*" >&2
    exit 1
}

[ -n "$emulator" ] && [ -n "$test_program" ] && [ -n "$library" ] && [ -n "$work" ] ||
    fail "usage: $0 --emulator PATH --test-program PATH --library PATH --work-dir DIR"
for file in "$emulator" "$test_program" "$library"; do
    [ -f "$file" ] || fail "missing build output $file"
done
for tool in qemu-system-x86_64 cpio depmod dpkg-deb apt-get apt-cache xz ldd objdump timeout; do
    command -v "$tool" >/dev/null ||
        fail "'$tool' not found: install the packages of scripts/deps/qemu.txt (scripts/install-deps.sh)"
done
busybox=/bin/busybox
[ -x "$busybox" ] && { ldd "$busybox" 2>&1 || true; } | grep -q 'not a dynamic executable' ||
    fail "a static busybox is needed at $busybox (package busybox-static)"

started_at=$(date +%s)
work="$(mkdir -p "$work" && cd "$work" && pwd)"

# --- Kernel: Debian's current 6.1 image package, unpacked (not installed) and cached. ---
kernel_dir="$work/kernel"
# USB host, the adapter's driver, and raw CAN sockets for the burst through the kernel's driver.
wanted_modules="xhci-pci gs_usb can-raw"
if [ "$(cat "$kernel_dir/ready" 2>/dev/null)" != "$wanted_modules" ]; then
    package="$(apt-cache depends linux-image-amd64 2>/dev/null |
        sed -n 's/^ *Depends: \(linux-image-6\.1\.[0-9.-]*-amd64\)$/\1/p' | head -1)"
    [ -n "$package" ] ||
        fail "apt-cache knows no 6.1 kernel behind linux-image-amd64 (run apt-get update first)"
    rm -rf "$kernel_dir"
    mkdir -p "$kernel_dir/download"
    echo "fetching $package"
    (cd "$kernel_dir/download" && apt-get download -q "$package" 2>&1 | grep -v '^W: Download is performed unsandboxed' || true)
    deb="$(ls "$kernel_dir"/download/*.deb 2>/dev/null | head -1)"
    [ -n "$deb" ] || fail "apt-get download $package produced no package"
    dpkg-deb -x "$deb" "$kernel_dir/root"
    release="$(ls "$kernel_dir/root/lib/modules" | head -1)"
    depmod -b "$kernel_dir/root" "$release"
    # The uncompressed kernel boots by PVH, which saves the decompression under TCG.
    vmlinuz="$kernel_dir/root/boot/vmlinuz-$release"
    offset="$({ LC_ALL=C grep -obUaP '\xfd7zXZ\x00' "$vmlinuz" || true; } | head -1 | cut -d: -f1)"
    [ -n "$offset" ] || fail "no xz stream in $vmlinuz"
    tail -c +$((offset + 1)) "$vmlinuz" >"$kernel_dir/vmlinux.xz"
    xz -dc --single-stream <"$kernel_dir/vmlinux.xz" >"$kernel_dir/vmlinux" ||
        fail "could not decompress $vmlinuz"
    rm -f "$kernel_dir/vmlinux.xz"
    # Only the modules the guest loads are kept, in load order, dependencies first.
    modules_root="$kernel_dir/root/lib/modules/$release"
    load_order=()
    add_module() {
        local module="$1" dep seen
        for dep in $(sed -n "s|^$module: *||p" "$modules_root/modules.dep"); do
            add_module "$dep"
        done
        for seen in "${load_order[@]:-}"; do
            [ "$seen" = "$module" ] && return 0
        done
        load_order+=("$module")
    }
    for name in $wanted_modules; do
        module="$(grep -o "^[^:]*/$name\.ko[^:]*" "$modules_root/modules.dep" | head -1)"
        [ -n "$module" ] || fail "kernel $release has no module $name"
        add_module "$module"
    done
    mkdir -p "$kernel_dir/modules"
    for module in "${load_order[@]}"; do
        cp "$modules_root/$module" "$kernel_dir/modules/"
        basename "$module" >>"$kernel_dir/modules/load-order"
    done
    echo "$release" >"$kernel_dir/release"
    rm -rf "$kernel_dir/download" "$kernel_dir/root"
    echo "$wanted_modules" >"$kernel_dir/ready"
fi
release="$(cat "$kernel_dir/release")"

# --- Initramfs: busybox, the modules, the test program and every library it loads. ---
image="$work/initramfs"
rm -rf "$image"
mkdir -p "$image"/{bin,proc,sys,dev,modules,opt/ovel}
cp "$busybox" "$image/bin/busybox"
install -m 0755 "$here/guest/init" "$image/init"
cp "$kernel_dir"/modules/* "$image/modules/"
cp "$test_program" "$image/opt/ovel/real_stack_test"
cp -L "$library" "$image/opt/ovel/$(objdump -p "$library" | sed -n 's/^ *SONAME *//p')"
LD_LIBRARY_PATH="$(dirname "$library")" ldd "$test_program" |
    sed -n 's/.*=> \(\/[^ ]*\) .*/\1/p; s/^\t\(\/[^ ]*\) .*/\1/p' | while read -r lib; do
    case "$lib" in "$(dirname "$library")"/*) continue ;; esac
    mkdir -p "$image$(dirname "$lib")"
    cp -L "$lib" "$image$lib"
done
[ -e "$image/lib64/ld-linux-x86-64.so.2" ] || fail "the dynamic loader was not collected"
(cd "$image" && find . | cpio -o -H newc --quiet) >"$work/initramfs.cpio"

# --- Run: emulator first (QEMU connects to its sockets), then the guest, both bounded. ---
run="$work/run"
rm -rf "$run"
mkdir -p "$run"
"$emulator" --redir "$run/redir.sock" --control "$run/bench.sock" --serial QEMU0001 \
    --log "$run/wire.log" --timeout 280 --timing immediate 2>"$run/emulator.err" &
emulator_pid=$!
"$emulator" --redir "$run/redir2.sock" --control "$run/bench2.sock" --serial QEMU0002 \
    --log "$run/wire2.log" --timeout 280 --firmware standard --features 0x0923 --unplugged yes \
    2>"$run/emulator2.err" &
emulator2_pid=$!
trap 'kill "$emulator_pid" "$emulator2_pid" 2>/dev/null || true' EXIT
for _ in $(seq 100); do
    [ -S "$run/redir.sock" ] && [ -S "$run/bench.sock" ] && [ -S "$run/redir2.sock" ] &&
        [ -S "$run/bench2.sock" ] && break
    sleep 0.05
done
[ -S "$run/bench.sock" ] && [ -S "$run/bench2.sock" ] ||
    fail "the emulators did not create their sockets: $(cat "$run/emulator.err" "$run/emulator2.err")"

boot_ns=$(date +%s%N)
set +e
timeout 270 qemu-system-x86_64 -accel tcg -cpu max -m 256 -nodefaults -display none \
    -no-reboot -kernel "$kernel_dir/vmlinux" -initrd "$work/initramfs.cpio" \
    -append "console=ttyS0 panic=-1 loglevel=4" \
    -chardev file,id=console,path="$run/console.log" -serial chardev:console \
    -chardev socket,id=bench,path="$run/bench.sock" -serial chardev:bench \
    -chardev socket,id=bench2,path="$run/bench2.sock" -serial chardev:bench2 \
    -device qemu-xhci,id=xhci \
    -chardev socket,id=redir,path="$run/redir.sock" -device usb-redir,chardev=redir,bus=xhci.0 \
    -chardev socket,id=redir2,path="$run/redir2.sock" -device usb-redir,chardev=redir2,bus=xhci.0 \
    >"$run/qemu.out" 2>&1
qemu_status=$?
wait "$emulator_pid"
emulator_status=$?
wait "$emulator2_pid"
emulator2_status=$?
set -e
trap - EXIT
guest_ms=$((($(date +%s%N) - boot_ns) / 1000000))

grep -E '^(ok|not ok|#|guest)' "$run/console.log" || true
guest_status="$(sed -n 's/^OVEL-GUEST-EXIT \([0-9]*\).*/\1/p' "$run/console.log" | tail -1)"
echo "guest ran ${guest_ms} ms; whole run $(($(date +%s) - started_at)) s (kernel $release)"
if [ "$qemu_status" -ne 0 ] || [ "$emulator_status" -ne 0 ] || [ "$emulator2_status" -ne 0 ] ||
    [ "$guest_status" != 0 ]; then
    echo "--- console ---"
    cat "$run/console.log"
    echo "--- qemu ---"
    cat "$run/qemu.out"
    echo "--- emulators ---"
    cat "$run/emulator.err" "$run/emulator2.err"
    echo "--- wire log (last 60 lines of $run/wire.log) ---"
    tail -60 "$run/wire.log"
    [ "$qemu_status" -eq 124 ] && fail "the guest did not finish within 270 s"
    fail "qemu $qemu_status, emulators $emulator_status $emulator2_status," \
        "guest ${guest_status:-no exit line}"
fi
echo "QEMU guest test passed"
