#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include <usbredirparser.h>

#include "gs_usb_model.h"

// The emulated adapter as a usbredir USB host: answers QEMU's usb-redir device over one stream
// socket, and takes test commands (inject frames, stall, hold transmits, unplug) from another.
namespace ovel::qemu {

class RedirAdapter {
  public:
    RedirAdapter(int redir_fd, std::string serial, std::FILE* wire_log);
    ~RedirAdapter();
    RedirAdapter(const RedirAdapter&) = delete;
    RedirAdapter& operator=(const RedirAdapter&) = delete;

    // Reads and handles what QEMU sent; false once the connection has ended.
    bool on_readable();
    // Flushes queued packets; false on a write error.
    bool flush();
    // Executes one command line and returns the reply line (without newline).
    std::string command(const std::string& line);
    // Protocol faults seen so far (unexpected packets, unknown endpoints, ...).
    const std::vector<std::string>& faults() const { return faults_; }

  private:
    struct PendingIn {
        std::uint64_t id;
        std::uint32_t length;
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
    void deliver_frames();
    void queue_injected_frames(unsigned count);
    // Packets of a device that is unplugged (or being unplugged) are ignored.
    bool accepting_packets() const { return connected_ && !awaiting_disconnect_ack_; }
    void fault(std::string text);

    int fd_;
    GsUsbModel model_;
    std::FILE* wire_log_;
    usbredirparser* parser_ = nullptr;
    bool hello_received_ = false;
    bool connected_ = false;
    bool awaiting_disconnect_ack_ = false;
    bool stall_next_vendor_ = false;
    bool hold_out_ = false;
    unsigned injected_total_ = 0;
    std::deque<PendingIn> pending_in_;
    std::deque<std::vector<std::uint8_t>> frames_to_host_;
    std::vector<std::uint64_t> held_out_;
    std::vector<std::string> vendor_log_;
    std::vector<std::string> faults_;
};

}  // namespace ovel::qemu
