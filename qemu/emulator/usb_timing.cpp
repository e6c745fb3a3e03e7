#include "usb_timing.h"

#include <time.h>

#include <algorithm>

namespace ovel::qemu {

std::optional<UsbTiming> parse_timing(std::string_view text) {
    if (text == "immediate") {
        return UsbTiming::immediate;
    }
    if (text == "hs") {
        return UsbTiming::high_speed;
    }
    if (text == "fs") {
        return UsbTiming::full_speed;
    }
    return std::nullopt;
}

const char* timing_name(UsbTiming timing) {
    switch (timing) {
        case UsbTiming::high_speed:
            return "hs";
        case UsbTiming::full_speed:
            return "fs";
        case UsbTiming::immediate:
            break;
    }
    return "immediate";
}

BusSpeed bus_speed(UsbTiming timing) {
    switch (timing) {
        case UsbTiming::full_speed:
            return BusSpeed{1'000'000, 19, 64, true};
        case UsbTiming::high_speed:
            return BusSpeed{125'000, 13, 512, false};
        case UsbTiming::immediate:
            break;
    }
    return BusSpeed{0, 0, 512, false};
}

std::int64_t monotonic_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

std::int64_t FrameScheduler::schedule(std::int64_t now_ns, std::size_t length) {
    const std::uint64_t budget = bus_.packets_per_period;
    const std::uint64_t packets =
        std::max<std::uint64_t>(1, (length + bus_.bulk_max_packet - 1) / bus_.bulk_max_packet);
    std::int64_t frame = std::max(now_ns / bus_.period_ns + 1, last_frame_);
    if (frame == last_frame_ && last_used_ + packets > budget) {
        ++frame;
    }
    if (frame != last_frame_) {
        last_used_ = 0;
    }
    // A transfer longer than one frame's budget fills whole frames until its last packet.
    const std::uint64_t extra_frames = (last_used_ + packets - 1) / budget;
    last_frame_ = frame + static_cast<std::int64_t>(extra_frames);
    last_used_ = last_used_ + packets - extra_frames * budget;
    return last_frame_ * bus_.period_ns;
}

}  // namespace ovel::qemu
