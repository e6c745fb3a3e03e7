#include "transmit_path.h"

#include <algorithm>

#include "ovsim/frame_bits.h"

namespace ovel::qemu {
namespace {

std::int64_t bits_ns(std::uint64_t bits, std::uint32_t bitrate) {
    return static_cast<std::int64_t>(bits * 1'000'000'000ull / (bitrate == 0 ? 1 : bitrate));
}

}  // namespace

std::int64_t frame_time_on_bus_ns(const std::vector<std::uint8_t>& host_frame,
                                  std::uint32_t nominal_bitrate, std::uint32_t data_bitrate) {
    const ovsim::FrameBits bits = ovsim::frame_bits(host_frame.data(), host_frame.size());
    return bits_ns(bits.nominal, nominal_bitrate) +
           bits_ns(bits.data_phase, bits.switched ? data_bitrate : nominal_bitrate);
}

void TransmitPath::set_bitrates(unsigned channel, std::uint32_t nominal, std::uint32_t data) {
    if (channel < CHANNEL_COUNT) {
        buffers_[channel].nominal = nominal;
        buffers_[channel].data = data;
    }
}

void TransmitPath::push(unsigned channel, std::uint64_t transfer, std::vector<std::uint8_t> frame,
                        std::int64_t arrives_ns) {
    if (channel >= CHANNEL_COUNT) {
        return;
    }
    Channel& buffer = buffers_[channel];
    buffer.frames.push_back(Buffered{transfer, std::move(frame), arrives_ns});
    peak_ = std::max(peak_, static_cast<unsigned>(buffer.frames.size()));
}

bool TransmitPath::remove(std::uint64_t transfer, std::int64_t now_ns) {
    for (Channel& buffer : buffers_) {
        const auto found = std::find_if(buffer.frames.begin(), buffer.frames.end(),
                                        [&](const Buffered& b) { return b.transfer == transfer; });
        // A frame already on its bus goes out whatever the host thinks of it now.
        if (found != buffer.frames.end() &&
            (found != buffer.frames.begin() ||
             std::max(found->arrives_ns, buffer.bus_free_ns) > now_ns)) {
            buffer.frames.erase(found);
            return true;
        }
    }
    return false;
}

std::int64_t TransmitPath::head_done_ns(const Channel& channel) {
    const Buffered& head = channel.frames.front();
    const std::uint32_t nominal = channel.nominal != 0 ? channel.nominal : DEFAULT_BITRATE;
    const std::uint32_t data = channel.data != 0 ? channel.data : nominal;
    return std::max(head.arrives_ns, channel.bus_free_ns) +
           frame_time_on_bus_ns(head.frame, nominal, data);
}

std::vector<std::vector<std::uint8_t>> TransmitPath::take_sent(std::int64_t now_ns) {
    // In the order the frames left their buses, across channels.
    std::vector<std::vector<std::uint8_t>> sent;
    for (;;) {
        Channel* first = nullptr;
        std::int64_t first_done = now_ns;
        for (Channel& channel : buffers_) {
            if (!channel.frames.empty()) {
                const std::int64_t done = head_done_ns(channel);
                if (done <= first_done) {
                    first = &channel;
                    first_done = done;
                }
            }
        }
        if (first == nullptr) {
            return sent;
        }
        first->bus_free_ns = first_done;
        sent.push_back(std::move(first->frames.front().frame));
        first->frames.pop_front();
    }
}

std::optional<std::int64_t> TransmitPath::next_due_ns() const {
    std::optional<std::int64_t> due;
    for (const Channel& channel : buffers_) {
        if (!channel.frames.empty()) {
            const std::int64_t done = head_done_ns(channel);
            due = due ? std::min(*due, done) : done;
        }
    }
    return due;
}

void TransmitPath::clear(unsigned channel) {
    if (channel < CHANNEL_COUNT) {
        buffers_[channel].frames.clear();
        buffers_[channel].bus_free_ns = 0;
    }
}

void TransmitPath::clear() {
    for (unsigned channel = 0; channel < CHANNEL_COUNT; ++channel) {
        clear(channel);
    }
}

}  // namespace ovel::qemu
