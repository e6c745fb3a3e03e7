#!/bin/sh
# Instructions per received frame on the library's own receive path, counted by callgrind
# (deterministic, unlike timings on a shared machine). Receives 200,000 classic frames on one
# channel from the simulated adapter and sums the inclusive cost of the event thread's
# completion handler (less the simulator's resubmission inside it) and of the dispatch thread's
# pop and handler (less the benchmark's own callback). Needs valgrind (apt-get install valgrind).
#   scripts/bench-callgrind.sh [build-dir]     (default build/bench)
set -eu
root="$(cd "$(dirname "$0")/.." && pwd)"
dir="${1:-$root/build/bench}"
cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOVEL_SANITIZE= >/dev/null
cmake --build "$dir" --target ovel_bench ovelcanfd-sim -j "$(nproc)" >/dev/null
out="$dir/callgrind.out"
valgrind --tool=callgrind --callgrind-out-file="$out" "$dir/bench/ovel_bench" --callgrind
frames=200000
callgrind_annotate --inclusive=yes "$out" > "$dir/callgrind.txt"
cost() {
    # Inclusive instruction count of the first symbol line matching $1 (0 if absent).
    grep -E "$1" "$dir/callgrind.txt" | grep ' \[' | head -n 1 | awk '{gsub(",", "", $1); print $1 + 0}'
}
handler=$(cost 'UsbDevice::on_rx_complete')
submit=$(cost ':libusb_submit_transfer \[')
pop=$(cost 'RxQueue::pop')
mapping=$(cost '_Function_handler<.*frame_handler')
callback=$(cost 'on_frame\(')
event=$(( (handler - submit) / frames ))
dispatch=$(( (pop + mapping - callback) / frames ))
echo "event thread: completion handler (decode, push):   $event instructions/frame"
echo "dispatch thread: pop, record mapping, call:        $dispatch instructions/frame"
echo "library receive path in all:                       $(( event + dispatch )) instructions/frame"
echo "(not counted: simulator resubmission $(( submit / frames )), benchmark callback $(( callback / frames )))"
