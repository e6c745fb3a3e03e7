// What the event thread notes about each received frame: its host time, the adapter's stamp,
// the overflow flag, a sequence number, and the channel state that error frames report.
#include <algorithm>

#include "gsusb/little_endian.h"
#include "platform/clocks.h"
#include "usb/usb_device.h"

namespace ovel::usb {
namespace {

// With stamps, a classic frame's stamp follows its 8 data bytes; an FD frame's follows its 64.
constexpr std::size_t CLASSIC_STAMP_OFFSET = gsusb::HOST_FRAME_SHORT_SIZE;
constexpr std::size_t CLASSIC_STAMPED_SIZE = CLASSIC_STAMP_OFFSET + 4;
constexpr std::size_t FD_STAMPED_SIZE = gsusb::HOST_FRAME_LONG_SIZE + 4;
constexpr std::size_t CLASSIC_STAMP_DATA_INDEX = 8;

std::uint32_t pack(const gsusb::BusStatus& status) {
    return static_cast<std::uint32_t>(status.state) |
           static_cast<std::uint32_t>(status.rx_errors) << 8 |
           static_cast<std::uint32_t>(status.tx_errors) << 16;
}

gsusb::BusStatus unpack(std::uint32_t packed) {
    return gsusb::BusStatus{static_cast<gsusb::BusState>(packed & 0xFF),
                            static_cast<std::uint8_t>(packed >> 8),
                            static_cast<std::uint8_t>(packed >> 16)};
}

}  // namespace

void UsbDevice::set_rx_timestamping(bool enabled, std::optional<HwAnchor> anchor) {
    std::lock_guard lock(timestamping_mutex_);
    next_hw_stamps_ = enabled;
    next_anchor_ = anchor;
    timestamping_changed_.store(true, std::memory_order_release);
}

gsusb::BusStatus UsbDevice::bus_status(unsigned channel) const {
    return unpack(bus_status_.at(channel).load(std::memory_order_acquire));
}

void UsbDevice::reset_bus_status(unsigned channel) {
    bus_status_.at(channel).store(pack(gsusb::BusStatus{}), std::memory_order_release);
}

void UsbDevice::take_timestamping_change() {
    std::lock_guard lock(timestamping_mutex_);
    timestamping_changed_.store(false, std::memory_order_relaxed);
    hw_stamps_ = next_hw_stamps_;
    hw_clock_.reset();
    if (next_anchor_) {
        hw_clock_.anchor(*next_anchor_);
    }
    round_clocks_read_ = false;
    refresh_period_ns_ = next_refresh_period_ns_;
    next_refresh_ns_ = platform::monotonic_ns() + refresh_period_ns_;
}

void UsbDevice::read_round_clocks() {
    // One reading serves every completion handled in the same round: they arrived together.
    round_realtime_ns_ = platform::wall_clock_ns();
    round_monotonic_ns_ = hw_stamps_ ? platform::monotonic_ns() : 0;
    round_clocks_read_ = true;
}

RxMeta UsbDevice::annotate_received(gsusb::HostFrame& frame, std::size_t received,
                                    std::uint64_t sequence) {
    if (timestamping_changed_.load(std::memory_order_acquire)) {
        take_timestamping_change();
    }
    if (!round_clocks_read_) {
        read_round_clocks();
    }
    RxMeta meta;
    meta.host_ns = round_realtime_ns_;
    meta.sequence = sequence;
    if ((frame.flags & gsusb::FLAG_OVERFLOW) != 0) {
        meta.flags |= RX_META_OVERFLOW;
    }
    if (hw_stamps_) {
        const bool fd = (frame.flags & gsusb::FLAG_FD) != 0;
        bool stamped = false;
        if (!fd && received >= CLASSIC_STAMPED_SIZE) {
            // The stamp sits where a classic frame's data ends: it is no data byte.
            auto* stamp = frame.data.data() + CLASSIC_STAMP_DATA_INDEX;
            frame.timestamp =
                gsusb::little_endian::read_u32(std::span<const std::uint8_t>(stamp, 4), 0);
            std::fill_n(stamp, 4, 0);
            stamped = true;
        } else if (fd && received >= FD_STAMPED_SIZE) {
            stamped = true;  // decoded into frame.timestamp already
        }
        if (stamped) {
            const HwClock::Time time =
                hw_clock_.convert(frame.timestamp, round_realtime_ns_, round_monotonic_ns_);
            meta.hw_us = time.us;
            meta.hw_ns = time.realtime_ns;
            meta.flags |= RX_META_HW_TIMESTAMP;
        }
    }
    // Only error frames cost anything here.
    if ((frame.can_id & gsusb::CAN_ERR_FLAG) != 0 && frame.echo_id == gsusb::ECHO_ID_RX) {
        std::atomic<std::uint32_t>& status = bus_status_[frame.channel];
        status.store(
            pack(gsusb::next_bus_status(unpack(status.load(std::memory_order_relaxed)), frame)),
            std::memory_order_release);
    }
    return meta;
}

}  // namespace ovel::usb
