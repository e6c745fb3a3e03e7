#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <usbredirparser.h>

#include "gs_usb_model.h"
#include "transmit_path.h"
#include "usb_timing.h"

// The emulated adapter as a usbredir USB host: answers QEMU's usb-redir device over one stream
// socket, and takes test commands (inject frames, stall, hold transmits, unplug, timing) from
// another. With USB timing, bulk answers wait for the frame boundary that carries them.
namespace ovel::qemu {

class RedirAdapter {
  public:
    RedirAdapter(int redir_fd, std::string serial, std::FILE* wire_log, UsbTiming timing,
                 Firmware firmware = Firmware::Original);
    ~RedirAdapter();
    RedirAdapter(const RedirAdapter&) = delete;
    RedirAdapter& operator=(const RedirAdapter&) = delete;

    // Reads and handles what QEMU sent; false once the connection has ended.
    bool on_readable();
    // Flushes queued packets; false on a write error.
    bool flush();
    // Executes one command line and returns the reply line (without newline). Among them, for
    // the transmit side: tx-buffer N (frames per channel buffer), tx-stats (the most frames one
    // buffer held and the transfers NAKed, since the last tx-stats).
    std::string command(const std::string& line);
    // When on_due has work next (a timed answer or a paced frame), in ns on CLOCK_MONOTONIC.
    std::optional<std::int64_t> next_due_ns() const;
    // Injects the paced frames and sends the timed answers that are due by now.
    void on_due();
    // Whether the adapter is plugged in as soon as QEMU says hello (the default), or waits for
    // the "connect" command: a second adapter that a test plugs in when it needs it.
    void set_plugged_at_hello(bool plugged) { plugged_at_hello_ = plugged; }
    // Protocol faults seen so far (unexpected packets, unknown endpoints, ...).
    const std::vector<std::string>& faults() const { return faults_; }

  private:
    struct PendingIn {
        std::uint64_t id;
        std::uint32_t length;
    };
    // A bulk OUT transfer the adapter has not taken yet: its bytes reach the adapter (and are
    // echoed) only when it is acknowledged.
    struct PendingOut {
        std::uint64_t id;
        std::vector<std::uint8_t> data;
        std::uint32_t length;
    };
    // A bulk answer waiting for its frame boundary. IN: request `id` of `length` bytes and the
    // frame that answers it; OUT: transfer `id` of `length` bytes and the bytes it carries.
    struct TimedAnswer {
        std::int64_t due_ns;
        std::uint8_t endpoint;
        std::uint64_t id;
        std::uint32_t length;
        std::vector<std::uint8_t> data;
    };

    static RedirAdapter& self(void* priv) { return *static_cast<RedirAdapter*>(priv); }
    static int read_cb(void* priv, std::uint8_t* data, int count);
    static int write_cb(void* priv, std::uint8_t* data, int count);
    static void log_cb(void* priv, int level, const char* msg);
    static void hello_cb(void* priv, usb_redir_hello_header* hello);
    static void reset_cb(void* priv);
    static void set_configuration_cb(void* priv, std::uint64_t id,
                                     usb_redir_set_configuration_header* header);
    static void get_configuration_cb(void* priv, std::uint64_t id);
    static void set_alt_setting_cb(void* priv, std::uint64_t id,
                                   usb_redir_set_alt_setting_header* header);
    static void get_alt_setting_cb(void* priv, std::uint64_t id,
                                   usb_redir_get_alt_setting_header* header);
    static void cancel_cb(void* priv, std::uint64_t id);
    static void disconnect_ack_cb(void* priv);
    static void control_cb(void* priv, std::uint64_t id, usb_redir_control_packet_header* header,
                           std::uint8_t* data, int data_len);
    static void bulk_cb(void* priv, std::uint64_t id, usb_redir_bulk_packet_header* header,
                        std::uint8_t* data, int data_len);

    void connect_device();
    void disconnect_device();
    void on_control(std::uint64_t id, usb_redir_control_packet_header& header,
                    std::vector<std::uint8_t> data);
    void on_bulk(std::uint64_t id, usb_redir_bulk_packet_header& header,
                 std::vector<std::uint8_t> data);
    void send_bulk(std::uint64_t id, std::uint8_t endpoint, std::uint8_t status,
                   std::vector<std::uint8_t> data, std::uint32_t acknowledged_length);
    // answer_*: at once with immediate timing, otherwise at the transfer's frame boundary, where
    // accept_out hands the OUT bytes to the adapter and send_in sends the frame.
    void answer_in(PendingIn request, std::vector<std::uint8_t> frame);
    // A bulk OUT the host sent (or the test released): NAKed, behind any other that is, while
    // its channel's transmit buffer is full; answered otherwise.
    void submit_out(PendingOut out);
    // Whether the adapter would buffer these bytes: a frame for a started channel.
    std::optional<unsigned> transmit_channel(const std::vector<std::uint8_t>& data) const;
    // Takes the frame into its channel's buffer (arriving at once, or at the frame boundary
    // that completes the transfer) and acknowledges the transfer then.
    void answer_out(PendingOut out);
    void accept_out(const PendingOut& out);
    // Echoes the frames that have left the bus and takes the NAKed transfers there is room for.
    void pump_transmit(std::int64_t now_ns);
    void send_in(const PendingIn& request, std::vector<std::uint8_t> frame);
    // False when no timed answer has this id.
    bool cancel_timed(std::uint64_t id);
    void deliver_frames();
    void queue_injected_frames(unsigned count);
    void set_timing(UsbTiming timing);
    std::int64_t paced_due_ns(unsigned index) const;
    // Packets of a device that is unplugged (or being unplugged) are ignored.
    bool accepting_packets() const { return connected_ && !awaiting_disconnect_ack_; }
    void fault(std::string text);
    // features HEX | counter [N] | bus-state CH STATE RXERR TXERR |
    // error-frame CH CLASSES CTRL TXERR RXERR | overflow-next (redir_timestamps.cpp).
    std::string timestamp_command(const std::string& verb, std::istringstream& words);

    int fd_;
    GsUsbModel model_;
    std::FILE* wire_log_;
    usbredirparser* parser_ = nullptr;
    bool hello_received_ = false;
    bool plugged_at_hello_ = true;
    bool connected_ = false;
    bool awaiting_disconnect_ack_ = false;
    bool stall_next_vendor_ = false;
    bool hold_out_ = false;
    bool overflow_next_ = false;  // the next injected frame carries the overflow flag
    unsigned injected_total_ = 0;
    // A paced injection: frame i of it enters the adapter at paced_start_ns_ + i / rate.
    unsigned paced_total_ = 0, paced_done_ = 0, paced_rate_ = 0;
    std::int64_t paced_start_ns_ = 0;
    UsbTiming timing_;
    FrameScheduler scheduler_;
    std::deque<TimedAnswer> timed_;  // in release order
    std::deque<PendingIn> pending_in_;
    std::deque<std::vector<std::uint8_t>> frames_to_host_;
    std::vector<PendingOut> held_out_;
    TransmitPath transmit_;
    std::deque<PendingOut> naked_out_;  // waiting for room in a transmit buffer, in order
    unsigned nak_count_ = 0;            // transfers that had to wait, since the last tx-stats
    std::vector<std::string> vendor_log_;
    std::vector<std::string> faults_;
};

}  // namespace ovel::qemu
