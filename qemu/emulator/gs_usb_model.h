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
    // A detached device forgets its channels' state, as a real adapter losing power does.
    void reset_channels();

  private:
    ControlOutcome handle_standard(const ControlSetup& setup);
    ControlOutcome handle_vendor(const ControlSetup& setup,
                                 const std::vector<std::uint8_t>& out_data);
    std::vector<std::uint8_t> descriptor(std::uint8_t type, std::uint8_t index) const;

    std::string serial_;
    Firmware firmware_;
    std::uint16_t bulk_max_packet_ = 512;
    bool started_[CHANNEL_COUNT] = {};
};

}  // namespace ovel::qemu
