#include "device/device.h"

#include <algorithm>

#include "gsusb/bit_timing.h"
#include "gsusb/control_records.h"

namespace ovel {

using gsusb::Request;

namespace {

std::uint8_t code(Request request) {
    return static_cast<std::uint8_t>(request);
}

// A channel setting that becomes a flag of the MODE start, and the feature it needs.
struct ModeFlag {
    bool ChannelSettings::*setting;
    std::uint32_t feature;
    const char* name;
    std::uint32_t flag;
};

constexpr ModeFlag MODE_FLAGS[] = {
    {&ChannelSettings::monitor, gsusb::FEATURE_LISTEN_ONLY, "Monitor",
     gsusb::MODE_FLAG_LISTEN_ONLY},
    {&ChannelSettings::loopback, gsusb::FEATURE_LOOP_BACK, "Loopback", gsusb::MODE_FLAG_LOOP_BACK},
    {&ChannelSettings::fd, gsusb::FEATURE_FD, "FD", gsusb::MODE_FLAG_FD},
};

}  // namespace

std::string OpenFailure::describe() const {
    if (context_failed) {
        return "could not initialize libusb context";
    }
    return error.describe();
}

Device::Device(std::unique_ptr<usb::UsbDevice> usb) : usb_(std::move(usb)) {}

Device::~Device() {
    retire_dispatcher();
    // The transport goes first: it disconnects the receive queue, so a dispatch thread that
    // was not asked to stop delivers what is still queued and then ends.
    if (usb_) {
        usb_->teardown();
    }
}

void Device::retire_dispatcher() {
    if (!dispatcher_) {
        return;
    }
    // Closed from inside the callback: no callback runs once that one has returned, and the
    // frames still queued are dropped.
    if (line_->on_dispatch_thread()) {
        dispatcher_->request_stop();
    }
    line_->retire(std::move(dispatcher_));
}

Expected<std::unique_ptr<Device>, OpenFailure> Device::open(const usb::AdapterIdentity* held) {
    auto context = usb::UsbContext::create();
    if (!context) {
        return unexpected(OpenFailure{true, false, DriverError::device_not_found()});
    }
    return open_sequence(usb::UsbDevice::open(std::move(*context), held));
}

Expected<std::unique_ptr<Device>, OpenFailure> Device::open_with_serial_number(
    std::string serial, const usb::AdapterIdentity* held) {
    auto context = usb::UsbContext::create();
    if (!context) {
        return unexpected(OpenFailure{true, false, DriverError::device_not_found()});
    }
    return open_sequence(
        usb::UsbDevice::open_with_serial_number(std::move(*context), std::move(serial), held));
}

Expected<std::unique_ptr<Device>, OpenFailure> Device::open_with_path(
    std::string path, const usb::AdapterIdentity* held) {
    auto context = usb::UsbContext::create();
    if (!context) {
        return unexpected(OpenFailure{true, false, DriverError::device_not_found()});
    }
    return open_sequence(
        usb::UsbDevice::open_with_path(std::move(*context), std::move(path), held));
}

// Reads DEVICE_CONFIG, then BT_CONST; a failure tears the transport down first.
Expected<std::unique_ptr<Device>, OpenFailure> Device::open_sequence(
    Expected<std::unique_ptr<usb::UsbDevice>, usb::UsbError> opened) {
    if (!opened) {
        // Whatever went wrong in the transport, the application sees no adapter; the reasons
        // why those found could not be used go with it.
        const bool held_first = opened.error().kind() == usb::UsbError::Kind::DeviceNotFound &&
                                opened.error().refusals().held_first;
        return unexpected(
            OpenFailure{false, held_first, DriverError::device_not_found(opened.error())});
    }
    std::unique_ptr<Device> device(new Device(std::move(opened.value())));
    auto fail = [&](const usb::UsbError& error) -> Expected<std::unique_ptr<Device>, OpenFailure> {
        device->usb_->teardown();
        return unexpected(OpenFailure{false, false, DriverError::device_error(error)});
    };

    auto config_reply =
        device->usb_->control_in(code(Request::DEVICE_CONFIG), gsusb::DeviceConfig::SIZE);
    if (!config_reply) {
        return fail(config_reply.error());
    }
    const auto config = gsusb::DeviceConfig::decode(config_reply.value());
    auto bt_reply = device->usb_->control_in(code(Request::BT_CONST), gsusb::BtConst::SIZE);
    if (!bt_reply) {
        return fail(bt_reply.error());
    }
    const auto bt_const = gsusb::BtConst::decode(bt_reply.value());
    device->nominal_limits_ = gsusb::nominal_limits(bt_const);
    device->data_limits_ = device->nominal_limits_;
    // Asked only of adapters that announce it. One that then fails to answer keeps the nominal
    // limits for the data phase rather than become unusable.
    if ((bt_const.feature & gsusb::FEATURE_BT_CONST_EXT) != 0) {
        auto ext_reply =
            device->usb_->control_in(code(Request::BT_CONST_EXT), gsusb::BtConstExt::SIZE);
        if (ext_reply) {
            device->data_limits_ = gsusb::BtConstExt::decode(ext_reply.value()).data;
        }
    }

    device->icount_ = config.icount;
    device->usb_->set_last_channel(config.icount);
    device->sw_version_ = config.sw_version;
    device->hw_version_ = config.hw_version;
    device->features_ = bt_const.feature;
    device->fclk_can_ = bt_const.fclk_can;
    device->bt_const_ = bt_const;
    device->channels_.assign(static_cast<std::size_t>(config.icount) + 1, ChannelSettings{});
    return device;
}

Expected<void, DriverError> Device::check_channel(unsigned channel) const {
    if (channel > icount_) {
        return unexpected(DriverError::invalid_channel());
    }
    return {};
}

Expected<void, DriverError> Device::check_feature(std::uint32_t feature_bit,
                                                  const char* name) const {
    if ((features_ & feature_bit) == 0) {
        return unexpected(DriverError::unsupported_feature(name));
    }
    return {};
}

Expected<void, DriverError> Device::check_not_started(unsigned channel) const {
    if (running() && channels_[channel].started) {
        return unexpected(DriverError::running());
    }
    return {};
}

Expected<void, DriverError> Device::send_bit_timing(bool data_phase, unsigned channel,
                                                    std::uint32_t bitrate) {
    if (auto checked = check_channel(channel); !checked) {
        return checked;
    }
    const auto timing = gsusb::compute_bit_timing(fclk_can_, bitrate);
    if (!timing) {
        return unexpected(DriverError::invalid_bitrate(bitrate));
    }
    return send_timing(data_phase, channel, *timing);
}

Expected<void, DriverError> Device::set_bitrate(unsigned channel, std::uint32_t bitrate) {
    auto sent = send_bit_timing(false, channel, bitrate);
    if (sent) {
        channels_[channel].bitrate = bitrate;
    }
    return sent;
}

Expected<void, DriverError> Device::set_data_bitrate(unsigned channel, std::uint32_t bitrate) {
    if (auto checked = check_feature(gsusb::FEATURE_FD, "FD"); !checked) {
        return checked;
    }
    auto sent = send_bit_timing(true, channel, bitrate);
    if (sent) {
        channels_[channel].data_bitrate = bitrate;
    }
    return sent;
}

// The mode setters only record the wish; it reaches the adapter with the channel's next start.
// `feature_bit` 0 means the setting needs no feature.
Expected<void, DriverError> Device::set_mode_setting(unsigned channel,
                                                     bool ChannelSettings::*setting, bool value,
                                                     std::uint32_t feature_bit,
                                                     const char* feature_name) {
    if (feature_bit != 0) {
        if (auto checked = check_feature(feature_bit, feature_name); !checked) {
            return checked;
        }
    }
    if (auto checked = check_channel(channel); !checked) {
        return checked;
    }
    if (auto checked = check_not_started(channel); !checked) {
        return checked;
    }
    channels_[channel].*setting = value;
    return {};
}

Expected<void, DriverError> Device::set_enabled(unsigned channel, bool enabled) {
    return set_mode_setting(channel, &ChannelSettings::enabled, enabled, 0, "");
}

Expected<void, DriverError> Device::set_monitor(unsigned channel, bool monitor) {
    return set_mode_setting(channel, &ChannelSettings::monitor, monitor, gsusb::FEATURE_LISTEN_ONLY,
                            "Monitor");
}

Expected<void, DriverError> Device::set_hw_loopback(unsigned channel, bool loopback) {
    return set_mode_setting(channel, &ChannelSettings::loopback, loopback, gsusb::FEATURE_LOOP_BACK,
                            "Loopback");
}

Expected<void, DriverError> Device::set_fd(unsigned channel, bool fd) {
    return set_mode_setting(channel, &ChannelSettings::fd, fd, gsusb::FEATURE_FD, "FD");
}

Expected<void, DriverError> Device::start(unsigned channel, FrameHandler handler) {
    if (auto checked = check_channel(channel); !checked) {
        return checked;
    }
    ChannelSettings& settings = channels_[channel];
    // Tested in this order; the setters refuse such settings, so this only guards the invariant.
    std::uint32_t flags = 0;
    for (const ModeFlag& mode_flag : MODE_FLAGS) {
        if (settings.*mode_flag.setting) {
            if (auto checked = check_feature(mode_flag.feature, mode_flag.name); !checked) {
                return checked;
            }
            flags |= mode_flag.flag;
        }
    }
    flags |= running() ? hw_timestamp_flag() : prepare_timestamps();
    if (settings.enabled) {
        usb_->reset_bus_status(channel);
        if (auto sent = send_mode(channel, gsusb::MODE_START, flags); !sent) {
            return sent;
        }
        usb_->send_windows()->open_channel(static_cast<std::uint8_t>(channel));
    }
    settings.started = true;
    if (running()) {
        return {};
    }
    auto streaming = start_streaming(std::move(handler));
    if (!streaming) {
        settings.started = false;
        usb_->send_windows()->close_channel(static_cast<std::uint8_t>(channel),
                                            usb::SendEnd::Stopped);
        if (settings.enabled) {
            // Best effort: the channel should not stay on the bus after a failed start.
            (void)send_mode(channel, gsusb::MODE_RESET, 0);
        }
    }
    return streaming;
}

Expected<void, DriverError> Device::send_mode(unsigned channel, std::uint32_t mode,
                                              std::uint32_t flags) {
    const auto payload = gsusb::DeviceMode{mode, flags}.encode();
    auto sent =
        usb_->control_out(code(Request::MODE), static_cast<std::uint16_t>(channel), payload);
    if (!sent) {
        return unexpected(DriverError::device_error(sent.error()));
    }
    return {};
}

// Brings the receive machinery up; on failure everything it did is undone.
Expected<void, DriverError> Device::start_streaming(FrameHandler handler) {
    if (!line_) {
        line_ = std::make_shared<RxDispatchLine>();
    }
    running_.store(true, std::memory_order_release);
    dispatcher_ = line_->start(usb_->rx_queue(), std::move(handler));
    if (!dispatcher_) {
        running_.store(false, std::memory_order_release);
        return unexpected(DriverError::device_error(
            usb::UsbError::libusb("start: dispatch thread", usb::USB_ERROR_NO_MEM)));
    }
    auto submitted = usb_->start_transfers();
    if (!submitted) {
        (void)usb_->stop_transfers();
        running_.store(false, std::memory_order_release);
        end_dispatcher();
        return unexpected(DriverError::device_error(submitted.error()));
    }
    return {};
}

void Device::end_dispatcher() {
    if (!dispatcher_) {
        return;
    }
    dispatcher_->request_stop();
    line_->retire(std::move(dispatcher_));
}

Expected<void, DriverError> Device::stop(unsigned channel) {
    if (auto checked = check_channel(channel); !checked) {
        return checked;
    }
    ChannelSettings& settings = channels_[channel];
    if (settings.enabled) {
        if (auto sent = send_mode(channel, gsusb::MODE_RESET, 0); !sent) {
            return sent;
        }
    }
    // The reset adapter forgets the frames it had: their echoes never come.
    usb_->send_windows()->close_channel(static_cast<std::uint8_t>(channel),
                                        usb::SendEnd::Stopped);
    // A disabled channel is cleared too; otherwise it would keep the device running.
    settings.started = false;
    const bool any_started = std::any_of(channels_.begin(), channels_.end(),
                                         [](const ChannelSettings& c) { return c.started; });
    if (any_started) {
        return {};
    }
    // Reception ends even if a cancellation failed: resubmission is off, the transfers left come
    // back once a retried cancellation takes, and the next start waits for them before it
    // resubmits.
    auto cancelled = usb_->stop_transfers();
    running_.store(false, std::memory_order_release);
    end_dispatcher();
    if (!cancelled) {
        return unexpected(DriverError::device_error(cancelled.error()));
    }
    return {};
}

Expected<void, DriverError> Device::check_frame(const gsusb::CanFrame& frame) const {
    if (!running()) {
        return unexpected(DriverError::not_running());
    }
    // Out-of-range values would be encoded unchanged and change their meaning on the wire.
    if (frame.channel > icount_) {
        return unexpected(DriverError::invalid_channel());
    }
    // A standard identifier has 11 bits; the adapter would put a different one on the bus.
    if (frame.id > (frame.extended ? gsusb::CAN_ID_MASK : gsusb::CAN_SFF_MASK)) {
        return unexpected(DriverError::invalid_frame("id"));
    }
    if (frame.dlc > 15) {
        return unexpected(DriverError::invalid_frame("dlc"));
    }
    if (frame.fd && frame.rtr) {
        return unexpected(DriverError::invalid_frame("rtr: CAN FD has no remote frames"));
    }
    // An adapter without CAN FD parses only the 20-byte form, as the kernel's classic
    // interfaces send it; what it cannot parse would be taken and lost.
    if (frame.fd && (features_ & gsusb::FEATURE_FD) == 0) {
        return unexpected(DriverError::invalid_frame("fd: the adapter has no CAN FD"));
    }
    return {};
}

Expected<void, DriverError> Device::transmit(const gsusb::CanFrame& frame) {
    if (auto checked = check_frame(frame); !checked) {
        return checked;
    }
    const bool adapter_fd = (features_ & gsusb::FEATURE_FD) != 0;
    auto sent = usb_->send(gsusb::host_frame_for_transmit(frame),
                           adapter_fd ? gsusb::OutForms::ShortAndLong : gsusb::OutForms::ShortOnly);
    if (!sent) {
        const usb::UsbError& error = sent.error();
        if (error.is_transfer_timeout()) {
            usb::count_one(tx_counters_.timeouts);
            return unexpected(DriverError::timeout());
        }
        usb::count_one(tx_counters_.failures);
        return unexpected(DriverError::device_error(error));
    }
    usb::count_one(tx_counters_.frames);
    return {};
}

Expected<std::uint64_t, DriverError> Device::send(const gsusb::CanFrame& frame,
                                                  const std::shared_ptr<usb::SendLedger>& ledger) {
    if (auto checked = check_frame(frame); !checked) {
        return unexpected(checked.error());
    }
    const bool adapter_fd = (features_ & gsusb::FEATURE_FD) != 0;
    auto sent = usb_->send_queued(gsusb::host_frame_for_transmit(frame),
                                  adapter_fd ? gsusb::OutForms::ShortAndLong
                                             : gsusb::OutForms::ShortOnly,
                                  ledger);
    if (!sent) {
        using Kind = usb::UsbDevice::QueuedSendError::Kind;
        switch (sent.error().kind) {
            case Kind::WindowFull:
                return unexpected(DriverError::busy("send window full"));
            case Kind::ChannelClosed:
                return unexpected(DriverError::not_running());
            case Kind::Usb:
                break;
        }
        return unexpected(DriverError::device_error(sent.error().usb));
    }
    return sent.value();
}

Expected<void, DriverError> Device::set_send_window(unsigned channel, unsigned frames) {
    if (auto checked = check_channel(channel); !checked) {
        return checked;
    }
    if (!usb_->send_windows()->set_limit(static_cast<std::uint8_t>(channel), frames)) {
        return unexpected(DriverError::invalid_argument("frames: 1 to 32"));
    }
    return {};
}

Expected<void, DriverError> Device::set_rx_latency(std::uint32_t max_us) {
    const std::chrono::microseconds budget(max_us);
    if (budget > usb::RX_BUDGET_MAX) {
        return unexpected(DriverError::invalid_argument("max_us: 0 to 10000000"));
    }
    usb_->set_rx_latency_budget(budget);
    return {};
}

}  // namespace ovel
