#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The emulated gs_usb adapter's endpoint-0 behaviour: standard descriptors and the gs_usb
// vendor requests, independent of how the requests reach it.
namespace ovel::qemu {

inline constexpr std::uint16_t VENDOR_ID = 0x1D50, PRODUCT_ID = 0x606F;
inline constexpr std::uint8_t BULK_IN_ENDPOINT = 0x81, BULK_OUT_ENDPOINT = 0x02;
inline constexpr unsigned CHANNEL_COUNT = 2;
inline constexpr std::uint32_t FCLK_CAN = 40'000'000;

// The request numbering of the emulated firmware.
//  Original: the data-phase timing is request 8; 10 stalls like any unknown request.
//  Standard: as the Linux kernel's gs_usb driver numbers them, as most firmware in the field:
//            the data-phase timing is 10, and 8 (GET_USER_ID, an IN request) stalls as an OUT.
enum class Firmware { Original, Standard };

struct ControlSetup {
    std::uint8_t request_type = 0, request = 0;
    std::uint16_t value = 0, index = 0, length = 0;
};

struct ControlOutcome {
    bool stall = false;
    std::vector<std::uint8_t> data;  // IN requests: the reply, at most setup.length bytes
};

class GsUsbModel {
  public:
    explicit GsUsbModel(std::string serial, Firmware firmware = Firmware::Original)
        : serial_(std::move(serial)), firmware_(firmware) {}

    // out_data: the data stage of an OUT request.
    ControlOutcome handle_control(const ControlSetup& setup,
                                  const std::vector<std::uint8_t>& out_data);

    // wMaxPacketSize of both bulk endpoints in the configuration descriptor: 512 at high
    // speed, 64 at full speed.
    void set_bulk_max_packet(std::uint16_t size) { bulk_max_packet_ = size; }

    bool channel_started(unsigned channel) const {
        return channel < CHANNEL_COUNT && started_[channel];
    }
    // The bitrates the channel's bit timing and data-phase bit timing give at FCLK_CAN; 0 until
    // set (or for a timing no adapter could run: brp 0).
    std::uint32_t bitrate(unsigned channel) const {
        return channel < CHANNEL_COUNT ? bitrate_[channel] : 0;
    }
    std::uint32_t data_bitrate(unsigned channel) const {
        return channel < CHANNEL_COUNT ? data_bitrate_[channel] : 0;
    }
    // A detached device forgets its channels' state, as a real adapter losing power does.
    void reset_channels();

    // Feature bits BT_CONST reports (read by the host when it opens the adapter): listen-only,
    // loopback and CAN FD by default; HW_TIMESTAMP (0x10) and GET_STATE (0x2000) model the
    // firmware that has them. A request whose feature is missing stalls, as older firmware does.
    void set_features(std::uint32_t features) { features_ = features; }
    // The free-running 1 MHz counter continues from `now_us` (starts at 0).
    void set_counter(std::uint32_t now_us);
    std::uint32_t counter_now() const;
    // GET_STATE's answer for a channel: by default error-active with counters 0 while started,
    // stopped otherwise.
    void set_bus_state(unsigned channel, std::uint32_t state, std::uint32_t rxerr,
                       std::uint32_t txerr);
    // The channel's 120 ohm termination (SET/GET_TERMINATION, feature bit 11) and whether the
    // LEDs blink (IDENTIFY, feature bit 5).
    bool termination(unsigned channel) const {
        return channel < CHANNEL_COUNT && termination_[channel];
    }
    bool identifying() const { return identifying_; }
    // A frame for the host as the adapter sends it: with the counter appended (after 8 or 64
    // data bytes) when its channel was started with the HW_TIMESTAMP flag.
    void stamp(std::vector<std::uint8_t>& frame) const;

  private:
    ControlOutcome handle_standard(const ControlSetup& setup);
    ControlOutcome handle_vendor(const ControlSetup& setup,
                                 const std::vector<std::uint8_t>& out_data);
    std::vector<std::uint8_t> descriptor(std::uint8_t type, std::uint8_t index) const;

    std::string serial_;
    Firmware firmware_;
    std::uint16_t bulk_max_packet_ = 512;
    bool started_[CHANNEL_COUNT] = {};
    std::uint32_t mode_flags_[CHANNEL_COUNT] = {};
    std::uint32_t features_ = 0x1 | 0x2 | 0x100;
    std::uint32_t counter_base_ = 0;
    std::int64_t counter_epoch_ns_ = 0;
    bool state_set_[CHANNEL_COUNT] = {};
    std::uint32_t bus_state_[CHANNEL_COUNT][3] = {};
    bool termination_[CHANNEL_COUNT] = {};
    bool identifying_ = false;
    std::uint32_t bitrate_[CHANNEL_COUNT] = {};
    std::uint32_t data_bitrate_[CHANNEL_COUNT] = {};
    ControlOutcome handle_extension(const ControlSetup& setup);
};

}  // namespace ovel::qemu
