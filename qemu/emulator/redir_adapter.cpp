#include "redir_adapter.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <sstream>

#include <unistd.h>

namespace ovel::qemu {
namespace {

constexpr std::uint32_t ECHO_ID_RX = 0xFFFFFFFF;
constexpr std::uint32_t CAN_EFF_FLAG = 0x80000000;
constexpr std::uint8_t FLAG_OVERFLOW = 0x01, FLAG_FD = 0x02, FLAG_BRS = 0x04;
constexpr std::size_t SHORT_FRAME = 20, LONG_FRAME = 76;

std::string hex(const std::uint8_t* data, std::size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        out.push_back(digits[data[i] >> 4]);
        out.push_back(digits[data[i] & 0xF]);
    }
    return out;
}

std::string hex(const std::vector<std::uint8_t>& bytes) {
    return hex(bytes.data(), bytes.size());
}

void put_u32(std::uint8_t* out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

// Injected frame number n: even numbers are classic frames on channel 0, odd ones 64-byte
// CAN FD frames with an extended identifier on channel 1; the payload carries n.
std::vector<std::uint8_t> injected_frame(unsigned n) {
    const bool fd = (n % 2) == 1;
    std::vector<std::uint8_t> frame(fd ? LONG_FRAME : SHORT_FRAME, 0);
    put_u32(&frame[0], ECHO_ID_RX);
    put_u32(&frame[4], fd ? (CAN_EFF_FLAG | (0x1234000u + n)) : (0x100u + (n % 0x600)));
    frame[8] = fd ? 15 : 8;
    frame[9] = fd ? 1 : 0;
    frame[10] = fd ? (FLAG_FD | FLAG_BRS) : 0;
    const std::size_t payload = fd ? 64 : 8;
    for (std::size_t i = 0; i < payload; ++i) {
        frame[12 + i] = static_cast<std::uint8_t>(n + i);
    }
    put_u32(&frame[12], n);
    return frame;
}

}  // namespace

RedirAdapter::RedirAdapter(int redir_fd, std::string serial, std::FILE* wire_log, UsbTiming timing,
                           Firmware firmware)
    : fd_(redir_fd),
      model_(std::move(serial), firmware),
      wire_log_(wire_log),
      timing_(timing),
      scheduler_(bus_speed(timing)) {
    model_.set_bulk_max_packet(bus_speed(timing).bulk_max_packet);
    parser_ = usbredirparser_create();
    if (parser_ == nullptr) {
        std::fprintf(stderr, "gs_usb emulator: usbredirparser_create failed\n");
        std::exit(3);
    }
    parser_->priv = this;
    parser_->log_func = &RedirAdapter::log_cb;
    parser_->read_func = &RedirAdapter::read_cb;
    parser_->write_func = &RedirAdapter::write_cb;
    parser_->hello_func = &RedirAdapter::hello_cb;
    parser_->reset_func = &RedirAdapter::reset_cb;
    parser_->set_configuration_func = &RedirAdapter::set_configuration_cb;
    parser_->get_configuration_func = &RedirAdapter::get_configuration_cb;
    parser_->set_alt_setting_func = &RedirAdapter::set_alt_setting_cb;
    parser_->get_alt_setting_func = &RedirAdapter::get_alt_setting_cb;
    parser_->cancel_data_packet_func = &RedirAdapter::cancel_cb;
    parser_->device_disconnect_ack_func = &RedirAdapter::disconnect_ack_cb;
    parser_->control_packet_func = &RedirAdapter::control_cb;
    parser_->bulk_packet_func = &RedirAdapter::bulk_cb;
    std::uint32_t caps[USB_REDIR_CAPS_SIZE] = {};
    usbredirparser_caps_set_cap(caps, usb_redir_cap_connect_device_version);
    usbredirparser_caps_set_cap(caps, usb_redir_cap_ep_info_max_packet_size);
    usbredirparser_caps_set_cap(caps, usb_redir_cap_64bits_ids);
    usbredirparser_caps_set_cap(caps, usb_redir_cap_32bits_bulk_length);
    usbredirparser_caps_set_cap(caps, usb_redir_cap_device_disconnect_ack);
    usbredirparser_init(parser_, "ovelcanfd gs_usb emulator", caps, USB_REDIR_CAPS_SIZE,
                        usbredirparser_fl_usb_host);
}

RedirAdapter::~RedirAdapter() {
    usbredirparser_destroy(parser_);
}

bool RedirAdapter::on_readable() {
    const int result = usbredirparser_do_read(parser_);
    if (result == usbredirparser_read_parse_error) {
        fault("unparsable usbredir packet");
        return true;
    }
    return result == 0;
}

bool RedirAdapter::flush() {
    while (usbredirparser_has_data_to_write(parser_) > 0) {
        if (usbredirparser_do_write(parser_) != 0) {
            return false;
        }
    }
    return true;
}

void RedirAdapter::fault(std::string text) {
    std::fprintf(wire_log_, "FAULT %s\n", text.c_str());
    faults_.push_back(std::move(text));
}

int RedirAdapter::read_cb(void* priv, std::uint8_t* data, int count) {
    const ssize_t got = ::read(self(priv).fd_, data, static_cast<std::size_t>(count));
    if (got > 0) {
        return static_cast<int>(got);
    }
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        return 0;
    }
    return -1;  // end of stream: QEMU has gone
}

int RedirAdapter::write_cb(void* priv, std::uint8_t* data, int count) {
    int written = 0;
    while (written < count) {
        const ssize_t n =
            ::write(self(priv).fd_, data + written, static_cast<std::size_t>(count - written));
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            return -1;
        }
        written += static_cast<int>(n);
    }
    return written;
}

void RedirAdapter::log_cb(void* priv, int level, const char* msg) {
    if (level <= usbredirparser_warning) {
        std::fprintf(self(priv).wire_log_, "usbredirparser: %s\n", msg);
    }
}

// The peer's hello tells its capabilities, which the device description depends on.
void RedirAdapter::hello_cb(void* priv, usb_redir_hello_header* hello) {
    RedirAdapter& adapter = self(priv);
    std::fprintf(adapter.wire_log_, "hello from %.64s\n", hello->version);
    adapter.hello_received_ = true;
    if (adapter.plugged_at_hello_) {
        adapter.connect_device();
    }
}

void RedirAdapter::connect_device() {
    const BusSpeed bus = bus_speed(timing_);
    usb_redir_interface_info_header interfaces{};
    interfaces.interface_count = 1;
    interfaces.interface_class[0] = 0xFF;
    usbredirparser_send_interface_info(parser_, &interfaces);

    usb_redir_ep_info_header endpoints{};
    std::fill(std::begin(endpoints.type), std::end(endpoints.type),
              static_cast<std::uint8_t>(usb_redir_type_invalid));
    // Index: direction bit moved to bit 4, endpoint number below it.
    endpoints.type[0] = endpoints.type[16] = usb_redir_type_control;
    endpoints.max_packet_size[0] = endpoints.max_packet_size[16] = 64;
    endpoints.type[16 + (BULK_IN_ENDPOINT & 0x0F)] = usb_redir_type_bulk;
    endpoints.max_packet_size[16 + (BULK_IN_ENDPOINT & 0x0F)] = bus.bulk_max_packet;
    endpoints.type[BULK_OUT_ENDPOINT] = usb_redir_type_bulk;
    endpoints.max_packet_size[BULK_OUT_ENDPOINT] = bus.bulk_max_packet;
    usbredirparser_send_ep_info(parser_, &endpoints);

    usb_redir_device_connect_header device{};
    device.speed = bus.full_speed ? usb_redir_speed_full : usb_redir_speed_high;
    device.vendor_id = VENDOR_ID;
    device.product_id = PRODUCT_ID;
    device.device_version_bcd = 0x0100;
    usbredirparser_send_device_connect(parser_, &device);
    connected_ = true;
    std::fprintf(wire_log_, "device connected at %s speed, timing %s\n",
                 bus.full_speed ? "full" : "high", timing_name(timing_));
}

void RedirAdapter::disconnect_device() {
    usbredirparser_send_device_disconnect(parser_);
    connected_ = false;
    awaiting_disconnect_ack_ =
        usbredirparser_peer_has_cap(parser_, usb_redir_cap_device_disconnect_ack) != 0;
    // An unplugged adapter answers nothing more; QEMU completes what it had outstanding.
    pending_in_.clear();
    held_out_.clear();
    naked_out_.clear();
    transmit_.clear();
    timed_.clear();
    scheduler_ = FrameScheduler(bus_speed(timing_));
    frames_to_host_.clear();
    paced_total_ = paced_done_ = 0;
    model_.reset_channels();
    std::fprintf(wire_log_, "device disconnected\n");
}

void RedirAdapter::disconnect_ack_cb(void* priv) {
    self(priv).awaiting_disconnect_ack_ = false;
}

void RedirAdapter::reset_cb(void* priv) {
    RedirAdapter& adapter = self(priv);
    std::fprintf(adapter.wire_log_, "reset\n");
    adapter.model_.reset_channels();
    adapter.transmit_.clear();
    adapter.pump_transmit(monotonic_ns());
}

void RedirAdapter::set_configuration_cb(void* priv, std::uint64_t id,
                                        usb_redir_set_configuration_header* header) {
    usb_redir_configuration_status_header status{};
    status.status = header->configuration <= 1 ? usb_redir_success : usb_redir_stall;
    status.configuration = header->configuration;
    usbredirparser_send_configuration_status(self(priv).parser_, id, &status);
}

void RedirAdapter::get_configuration_cb(void* priv, std::uint64_t id) {
    usb_redir_configuration_status_header status{};
    status.status = usb_redir_success;
    status.configuration = 1;
    usbredirparser_send_configuration_status(self(priv).parser_, id, &status);
}

void RedirAdapter::set_alt_setting_cb(void* priv, std::uint64_t id,
                                      usb_redir_set_alt_setting_header* header) {
    usb_redir_alt_setting_status_header status{};
    status.status =
        header->interface == 0 && header->alt == 0 ? usb_redir_success : usb_redir_stall;
    status.interface = header->interface;
    status.alt = 0;
    usbredirparser_send_alt_setting_status(self(priv).parser_, id, &status);
}

void RedirAdapter::get_alt_setting_cb(void* priv, std::uint64_t id,
                                      usb_redir_get_alt_setting_header* header) {
    usb_redir_alt_setting_status_header status{};
    status.status = header->interface == 0 ? usb_redir_success : usb_redir_inval;
    status.interface = header->interface;
    status.alt = 0;
    usbredirparser_send_alt_setting_status(self(priv).parser_, id, &status);
}

void RedirAdapter::cancel_cb(void* priv, std::uint64_t id) {
    RedirAdapter& adapter = self(priv);
    std::fprintf(adapter.wire_log_, "cancel %llu\n", static_cast<unsigned long long>(id));
    auto in = std::find_if(adapter.pending_in_.begin(), adapter.pending_in_.end(),
                           [id](const PendingIn& p) { return p.id == id; });
    if (in != adapter.pending_in_.end()) {
        adapter.pending_in_.erase(in);
        adapter.send_bulk(id, BULK_IN_ENDPOINT, usb_redir_cancelled, {}, 0);
        return;
    }
    if (adapter.cancel_timed(id)) {
        return;
    }
    const auto same_id = [id](const PendingOut& p) { return p.id == id; };
    auto out = std::find_if(adapter.held_out_.begin(), adapter.held_out_.end(), same_id);
    if (out != adapter.held_out_.end()) {
        adapter.held_out_.erase(out);
        adapter.send_bulk(id, BULK_OUT_ENDPOINT, usb_redir_cancelled, {}, 0);
        return;
    }
    auto naked = std::find_if(adapter.naked_out_.begin(), adapter.naked_out_.end(), same_id);
    if (naked != adapter.naked_out_.end()) {
        adapter.naked_out_.erase(naked);
        adapter.send_bulk(id, BULK_OUT_ENDPOINT, usb_redir_cancelled, {}, 0);
        adapter.pump_transmit(monotonic_ns());  // the transfers behind it may fit now
    }
    // Anything else has already been answered; the peer drops a late cancel itself.
}

bool RedirAdapter::cancel_timed(std::uint64_t id) {
    const auto answer = std::find_if(timed_.begin(), timed_.end(),
                                     [id](const TimedAnswer& a) { return a.id == id; });
    if (answer == timed_.end()) {
        return false;
    }
    const std::uint8_t endpoint = answer->endpoint;
    if (endpoint == BULK_OUT_ENDPOINT) {
        // Its bytes never reached the adapter, so nothing is echoed.
        timed_.erase(answer);
        transmit_.remove(id, monotonic_ns());
    } else {
        // The adapter has sent neither this frame nor those answering later requests: it keeps
        // them, in order, for the requests that remain.
        std::deque<PendingIn> requests;
        std::deque<std::vector<std::uint8_t>> frames;
        for (auto it = answer; it != timed_.end();) {
            if (it->endpoint != BULK_IN_ENDPOINT) {
                ++it;
                continue;
            }
            if (!it->data.empty()) {
                frames.push_back(std::move(it->data));
            }
            if (it->id != id) {
                requests.push_back(PendingIn{it->id, it->length});
            }
            it = timed_.erase(it);
        }
        pending_in_.insert(pending_in_.begin(), requests.begin(), requests.end());
        frames_to_host_.insert(frames_to_host_.begin(), std::make_move_iterator(frames.begin()),
                               std::make_move_iterator(frames.end()));
    }
    send_bulk(id, endpoint, usb_redir_cancelled, {}, 0);
    if (endpoint == BULK_IN_ENDPOINT) {
        deliver_frames();
    } else {
        pump_transmit(monotonic_ns());
    }
    return true;
}

void RedirAdapter::control_cb(void* priv, std::uint64_t id, usb_redir_control_packet_header* header,
                              std::uint8_t* data, int data_len) {
    RedirAdapter& adapter = self(priv);
    std::vector<std::uint8_t> bytes(data, data + std::max(data_len, 0));
    usbredirparser_free_packet_data(adapter.parser_, data);
    adapter.on_control(id, *header, std::move(bytes));
}

void RedirAdapter::bulk_cb(void* priv, std::uint64_t id, usb_redir_bulk_packet_header* header,
                           std::uint8_t* data, int data_len) {
    RedirAdapter& adapter = self(priv);
    std::vector<std::uint8_t> bytes(data, data + std::max(data_len, 0));
    usbredirparser_free_packet_data(adapter.parser_, data);
    adapter.on_bulk(id, *header, std::move(bytes));
}

void RedirAdapter::on_control(std::uint64_t id, usb_redir_control_packet_header& header,
                              std::vector<std::uint8_t> data) {
    if (!accepting_packets()) {
        return;
    }
    const ControlSetup setup{header.requesttype, header.request, header.value, header.index,
                             header.length};
    const bool in = (setup.request_type & 0x80) != 0;
    const bool vendor = (setup.request_type & 0x60) == 0x40;
    ControlOutcome outcome;
    if (vendor && stall_next_vendor_) {
        stall_next_vendor_ = false;
        outcome.stall = true;
    } else {
        outcome = model_.handle_control(setup, data);
    }
    if (vendor && !in && !outcome.stall) {
        // Bit timing sets the pace of the channel's frames; a stopped channel drops its buffer.
        for (unsigned channel = 0; channel < CHANNEL_COUNT; ++channel) {
            transmit_.set_bitrates(channel, model_.bitrate(channel), model_.data_bitrate(channel));
            if (!model_.channel_started(channel)) {
                transmit_.clear(channel);
            }
        }
    }

    const std::uint8_t raw_setup[8] = {
        setup.request_type,
        setup.request,
        static_cast<std::uint8_t>(setup.value & 0xFF),
        static_cast<std::uint8_t>(setup.value >> 8),
        static_cast<std::uint8_t>(setup.index & 0xFF),
        static_cast<std::uint8_t>(setup.index >> 8),
        static_cast<std::uint8_t>(setup.length & 0xFF),
        static_cast<std::uint8_t>(setup.length >> 8),
    };
    std::string record = hex(raw_setup, sizeof raw_setup);
    if (!in && !data.empty()) {
        record += ":" + hex(data);
    }
    if (outcome.stall) {
        record += "!stall";
    }
    std::fprintf(wire_log_, "control %s%s%s\n", record.c_str(), in && !outcome.stall ? " -> " : "",
                 in && !outcome.stall ? hex(outcome.data).c_str() : "");
    if (vendor) {
        vendor_log_.push_back(record);
    }

    header.status = outcome.stall ? usb_redir_stall : usb_redir_success;
    if (in) {
        header.length = static_cast<std::uint16_t>(outcome.data.size());
        usbredirparser_send_control_packet(parser_, id, &header,
                                           outcome.data.empty() ? nullptr : outcome.data.data(),
                                           static_cast<int>(outcome.data.size()));
    } else {
        usbredirparser_send_control_packet(parser_, id, &header, nullptr, 0);
    }
    if (vendor) {
        pump_transmit(monotonic_ns());  // a stopped channel's NAKed transfers are taken now
    }
}

void RedirAdapter::send_bulk(std::uint64_t id, std::uint8_t endpoint, std::uint8_t status,
                             std::vector<std::uint8_t> data, std::uint32_t acknowledged_length) {
    usb_redir_bulk_packet_header header{};
    header.endpoint = endpoint;
    header.status = status;
    const std::uint32_t length =
        (endpoint & 0x80) ? static_cast<std::uint32_t>(data.size()) : acknowledged_length;
    header.length = static_cast<std::uint16_t>(length & 0xFFFF);
    header.length_high = static_cast<std::uint16_t>(length >> 16);
    usbredirparser_send_bulk_packet(parser_, id, &header, data.empty() ? nullptr : data.data(),
                                    static_cast<int>(data.size()));
}

void RedirAdapter::on_bulk(std::uint64_t id, usb_redir_bulk_packet_header& header,
                           std::vector<std::uint8_t> data) {
    if (!accepting_packets()) {
        return;
    }
    const std::uint32_t length =
        header.length | (static_cast<std::uint32_t>(header.length_high) << 16);
    if (header.endpoint == BULK_IN_ENDPOINT) {
        pending_in_.push_back(PendingIn{id, length});
        deliver_frames();
        return;
    }
    if (header.endpoint != BULK_OUT_ENDPOINT) {
        fault("bulk packet for endpoint " + std::to_string(header.endpoint));
        send_bulk(id, header.endpoint, usb_redir_stall, {}, 0);
        return;
    }
    std::fprintf(wire_log_, "bulk-out %s%s\n", hex(data).c_str(), hold_out_ ? " (held)" : "");
    PendingOut out{id, std::move(data), length};
    if (hold_out_) {
        held_out_.push_back(std::move(out));
        return;
    }
    submit_out(std::move(out));
}

std::optional<unsigned> RedirAdapter::transmit_channel(const std::vector<std::uint8_t>& data) const {
    if (data.size() < SHORT_FRAME || !model_.channel_started(data[9])) {
        return std::nullopt;  // taken and dropped: no frame the adapter can send
    }
    return data[9];
}

void RedirAdapter::submit_out(PendingOut out) {
    // The endpoint is one queue: behind a NAKed transfer every later one waits too.
    const std::optional<unsigned> channel = transmit_channel(out.data);
    if (!naked_out_.empty() || (channel && !transmit_.has_room(*channel))) {
        ++nak_count_;
        naked_out_.push_back(std::move(out));
        return;
    }
    answer_out(std::move(out));
}

void RedirAdapter::answer_out(PendingOut out) {
    const std::optional<unsigned> channel = transmit_channel(out.data);
    const std::int64_t now = monotonic_ns();
    const std::int64_t due =
        timing_ == UsbTiming::immediate ? now : scheduler_.schedule(now, out.length);
    if (channel) {
        transmit_.push(*channel, out.id, std::move(out.data), due);
    }
    if (timing_ == UsbTiming::immediate) {
        accept_out(out);
        return;
    }
    timed_.push_back(TimedAnswer{due, BULK_OUT_ENDPOINT, out.id, out.length, {}});
}

void RedirAdapter::accept_out(const PendingOut& out) {
    send_bulk(out.id, BULK_OUT_ENDPOINT, usb_redir_success, {}, out.length);
}

void RedirAdapter::pump_transmit(std::int64_t now_ns) {
    // The adapter echoes a frame once it has gone out on the bus, stamped then.
    for (std::vector<std::uint8_t>& echo : transmit_.take_sent(now_ns)) {
        model_.stamp(echo);
        frames_to_host_.push_back(std::move(echo));
    }
    while (!naked_out_.empty()) {
        const std::optional<unsigned> channel = transmit_channel(naked_out_.front().data);
        if (channel && !transmit_.has_room(*channel)) {
            break;
        }
        PendingOut out = std::move(naked_out_.front());
        naked_out_.pop_front();
        answer_out(std::move(out));
    }
    deliver_frames();
}

void RedirAdapter::answer_in(PendingIn request, std::vector<std::uint8_t> frame) {
    if (timing_ == UsbTiming::immediate) {
        send_in(request, std::move(frame));
        return;
    }
    const std::int64_t due = scheduler_.schedule(monotonic_ns(), frame.size());
    timed_.push_back(
        TimedAnswer{due, BULK_IN_ENDPOINT, request.id, request.length, std::move(frame)});
}

void RedirAdapter::send_in(const PendingIn& request, std::vector<std::uint8_t> frame) {
    if (!frame.empty()) {
        std::fprintf(wire_log_, "bulk-in %s\n", hex(frame).c_str());
    }
    send_bulk(request.id, BULK_IN_ENDPOINT, usb_redir_success, std::move(frame), 0);
}

void RedirAdapter::deliver_frames() {
    // QEMU requires an endpoint's packets to complete in the order they were queued.
    while (!pending_in_.empty()) {
        const PendingIn request = pending_in_.front();
        // The guest's xHCI cancellation path can hand QEMU an empty IN transfer; it has no
        // room for a frame, so it completes empty instead of truncating one.
        if (request.length == 0) {
            pending_in_.pop_front();
            std::fprintf(wire_log_, "bulk-in request of 0 bytes, answered empty\n");
            answer_in(request, {});
            continue;
        }
        if (frames_to_host_.empty()) {
            break;
        }
        pending_in_.pop_front();
        std::vector<std::uint8_t> frame = std::move(frames_to_host_.front());
        frames_to_host_.pop_front();
        if (frame.size() > request.length) {
            fault("bulk IN request of " + std::to_string(request.length) + " bytes for a " +
                  std::to_string(frame.size()) + "-byte frame");
            frame.resize(request.length);
        }
        answer_in(request, std::move(frame));
    }
}

void RedirAdapter::queue_injected_frames(unsigned count) {
    for (unsigned i = 0; i < count; ++i) {
        std::vector<std::uint8_t> frame = injected_frame(injected_total_ + i);
        if (overflow_next_) {
            frame[10] |= FLAG_OVERFLOW;  // frames were lost before this one
            overflow_next_ = false;
        }
        model_.stamp(frame);
        frames_to_host_.push_back(std::move(frame));
    }
    injected_total_ += count;
    deliver_frames();
}

std::int64_t RedirAdapter::paced_due_ns(unsigned index) const {
    return paced_start_ns_ + static_cast<std::int64_t>(index) * 1'000'000'000 / paced_rate_;
}

std::optional<std::int64_t> RedirAdapter::next_due_ns() const {
    std::optional<std::int64_t> due;
    if (!timed_.empty()) {
        due = timed_.front().due_ns;  // the scheduler hands out boundaries in order
    }
    if (paced_done_ < paced_total_) {
        const std::int64_t paced = paced_due_ns(paced_done_);
        due = due ? std::min(*due, paced) : paced;
    }
    if (const std::optional<std::int64_t> sent = transmit_.next_due_ns()) {
        due = due ? std::min(*due, *sent) : *sent;
    }
    return due;
}

void RedirAdapter::on_due() {
    const std::int64_t now = monotonic_ns();
    while (paced_done_ < paced_total_ && paced_due_ns(paced_done_) <= now) {
        ++paced_done_;
        queue_injected_frames(1);
    }
    while (!timed_.empty() && timed_.front().due_ns <= now) {
        TimedAnswer answer = std::move(timed_.front());
        timed_.pop_front();
        if (answer.endpoint == BULK_IN_ENDPOINT) {
            send_in(PendingIn{answer.id, answer.length}, std::move(answer.data));
        } else {
            accept_out(PendingOut{answer.id, {}, answer.length});
        }
    }
    pump_transmit(now);
}

void RedirAdapter::set_timing(UsbTiming timing) {
    timing_ = timing;
    scheduler_ = FrameScheduler(bus_speed(timing));
    model_.set_bulk_max_packet(bus_speed(timing).bulk_max_packet);
}

std::string RedirAdapter::command(const std::string& line) {
    std::istringstream words(line);
    std::string verb;
    words >> verb;
    std::fprintf(wire_log_, "command %s\n", line.c_str());
    if (verb == "mark") {
        vendor_log_.clear();
        return "ok";
    }
    if (verb == "vendor-log") {
        std::string reply = "ok";
        for (const auto& record : vendor_log_) {
            reply += " " + record;
        }
        vendor_log_.clear();
        return reply;
    }
    if (verb == "inject") {
        unsigned count = 0;
        if (!(words >> count) || count == 0 || count > 100000) {
            return "error bad count";
        }
        // An optional rate in frames/s paces the frames instead of queueing them at once.
        unsigned long rate = 0;
        std::string rate_text;
        if (words >> rate_text) {
            char* end = nullptr;
            rate = std::strtoul(rate_text.c_str(), &end, 10);
            if (*end != '\0' || rate == 0 || rate > 1'000'000) {
                return "error bad rate";
            }
        }
        if (!accepting_packets()) {
            return "error not connected";
        }
        if (paced_done_ < paced_total_) {
            return "error a paced injection is running";
        }
        // Injection restarts the numbering so that every burst starts at frame 0.
        injected_total_ = 0;
        if (rate == 0) {
            queue_injected_frames(count);
        } else {
            // on_due, which the main loop runs after every command, injects the first frame.
            paced_total_ = count;
            paced_done_ = 0;
            paced_rate_ = static_cast<unsigned>(rate);
            paced_start_ns_ = monotonic_ns();
        }
        return "ok";
    }
    if (verb == "features" || verb == "counter" || verb == "bus-state" || verb == "error-frame" ||
        verb == "overflow-next") {
        return timestamp_command(verb, words);
    }
    if (verb == "timing") {
        std::string mode;
        words >> mode;
        const std::optional<UsbTiming> timing = parse_timing(mode);
        if (!timing) {
            return "error bad timing";
        }
        // The speed is told to QEMU when the device is plugged in.
        if (connected_ || awaiting_disconnect_ack_) {
            return "error unplug first";
        }
        set_timing(*timing);
        return "ok";
    }
    if (verb == "tx-buffer") {
        // Frames each channel's transmit buffer holds.
        unsigned frames = 0;
        if (!(words >> frames) || frames == 0 || frames > 64) {
            return "error bad size";
        }
        transmit_.set_capacity(frames);
        return "ok";
    }
    if (verb == "tx-stats") {
        // peak: the most frames one channel's buffer held at once; naks: transfers that waited
        // for room. Both count from the last tx-stats.
        const std::string reply = "ok peak=" + std::to_string(transmit_.peak()) +
                                  " naks=" + std::to_string(nak_count_) +
                                  " buffered=" + std::to_string(transmit_.buffered(0)) + "," +
                                  std::to_string(transmit_.buffered(1));
        transmit_.reset_peak();
        nak_count_ = 0;
        return reply;
    }
    if (verb == "stall-next") {
        stall_next_vendor_ = true;
        return "ok";
    }
    if (verb == "hold-out") {
        hold_out_ = true;
        return "ok";
    }
    if (verb == "release-out") {
        hold_out_ = false;
        // The held transfers go out now, acknowledged in full and echoed like any other.
        std::vector<PendingOut> held = std::move(held_out_);
        held_out_.clear();
        for (PendingOut& out : held) {
            submit_out(std::move(out));
        }
        return "ok";
    }
    if (verb == "stats") {
        // in: IN requests not completed yet; held: OUT transfers not acknowledged yet.
        const auto timed_in = static_cast<std::size_t>(
            std::count_if(timed_.begin(), timed_.end(),
                          [](const TimedAnswer& a) { return a.endpoint == BULK_IN_ENDPOINT; }));
        return "ok in=" + std::to_string(pending_in_.size() + timed_in) +
               " held=" +
               std::to_string(held_out_.size() + naked_out_.size() + timed_.size() - timed_in) +
               " queued=" + std::to_string(frames_to_host_.size()) +
               " started=" + std::to_string(model_.channel_started(0)) +
               std::to_string(model_.channel_started(1));
    }
    if (verb == "disconnect") {
        if (!connected_) {
            return "error not connected";
        }
        disconnect_device();
        return "ok";
    }
    if (verb == "connect") {
        if (connected_ || !hello_received_) {
            return "error already connected";
        }
        connect_device();
        return "ok";
    }
    return "error unknown command";
}

}  // namespace ovel::qemu
