// The emulated adapter's hardware timestamps (its 1 MHz counter, TIMESTAMP, stamps appended to
// frames) and its bus state (GET_STATE).
#include <time.h>

#include "gs_usb_model.h"

namespace ovel::qemu {
namespace {

constexpr std::uint8_t TIMESTAMP = 6;
constexpr std::uint32_t FEATURE_HW_TIMESTAMP = 0x10, FEATURE_GET_STATE = 0x2000;
constexpr std::uint32_t MODE_FLAG_HW_TIMESTAMP = 0x10;
constexpr std::uint8_t FLAG_FD = 0x02;
constexpr std::size_t SHORT_FRAME = 20, LONG_FRAME = 76;
constexpr std::uint32_t STATE_ERROR_ACTIVE = 0, STATE_STOPPED = 4;

std::int64_t monotonic_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

void put_u32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<std::uint8_t>((value >> shift) & 0xFF));
    }
}

}  // namespace

void GsUsbModel::set_counter(std::uint32_t now_us) {
    counter_base_ = now_us;
    counter_epoch_ns_ = monotonic_ns();
}

std::uint32_t GsUsbModel::counter_now() const {
    return counter_base_ + static_cast<std::uint32_t>((monotonic_ns() - counter_epoch_ns_) / 1000);
}

void GsUsbModel::set_bus_state(unsigned channel, std::uint32_t state, std::uint32_t rxerr,
                               std::uint32_t txerr) {
    if (channel < CHANNEL_COUNT) {
        state_set_[channel] = true;
        bus_state_[channel][0] = state;
        bus_state_[channel][1] = rxerr;
        bus_state_[channel][2] = txerr;
    }
}

void GsUsbModel::stamp(std::vector<std::uint8_t>& frame) const {
    if (frame.size() < SHORT_FRAME) {
        return;
    }
    const unsigned channel = frame[9];
    if (channel >= CHANNEL_COUNT || (mode_flags_[channel] & MODE_FLAG_HW_TIMESTAMP) == 0) {
        return;
    }
    frame.resize((frame[10] & FLAG_FD) != 0 ? LONG_FRAME : SHORT_FRAME, 0);
    put_u32(frame, counter_now());
}

ControlOutcome GsUsbModel::handle_extension(const ControlSetup& setup) {
    std::vector<std::uint8_t> out;
    if (setup.request == TIMESTAMP) {
        if ((features_ & FEATURE_HW_TIMESTAMP) == 0) {
            return ControlOutcome{true, {}};
        }
        put_u32(out, counter_now());
    } else {
        if ((features_ & FEATURE_GET_STATE) == 0 || setup.value >= CHANNEL_COUNT) {
            return ControlOutcome{true, {}};
        }
        const unsigned channel = setup.value;
        if (state_set_[channel]) {
            for (const std::uint32_t word : bus_state_[channel]) {
                put_u32(out, word);
            }
        } else {
            put_u32(out, started_[channel] ? STATE_ERROR_ACTIVE : STATE_STOPPED);
            put_u32(out, 0);
            put_u32(out, 0);
        }
    }
    if (out.size() > setup.length) {
        out.resize(setup.length);
    }
    return ControlOutcome{false, std::move(out)};
}

}  // namespace ovel::qemu
