// Fault helpers of the control API: replugging an adapter and feeding malformed frames.
#include "model.h"

#include <random>

namespace ovsim {

using detail::Sim;
using detail::sim;

Adapter& Adapter::replug() {
    unplug();
    AdapterSpec config;
    {
        std::lock_guard lock(sim().mutex);
        config = model_.config;
    }
    return add_adapter(config);
}

void Adapter::feed_garbage(std::uint32_t seed) {
    constexpr std::size_t CLASSIC_LENGTH = 20, FD_LENGTH = 76, BUFFER_LENGTH = 80;
    std::minstd_rand random(seed);
    const auto pick = [&random](std::size_t low, std::size_t high) {
        return std::uniform_int_distribution<std::size_t>(low, high)(random);
    };
    std::uint8_t icount = 0;
    {
        std::lock_guard lock(sim().mutex);
        icount = model_.config.icount;
    }
    std::vector<std::uint8_t> bytes(BUFFER_LENGTH + 64);
    for (auto& byte : bytes) {
        byte = static_cast<std::uint8_t>(random());
    }
    // A header that would pass on its own: the kinds below each break one thing.
    bytes[8] = static_cast<std::uint8_t>(pick(0, 8));
    bytes[9] = static_cast<std::uint8_t>(pick(0, icount));
    bytes[10] &= static_cast<std::uint8_t>(~FRAME_FLAG_FD);
    std::size_t length = CLASSIC_LENGTH;
    std::size_t kind = pick(0, 4);
    if (kind == 3 && icount == 255) {
        kind = 0;  // every channel index exists
    }
    switch (kind) {
        case 0:  // cut short
            length = pick(0, CLASSIC_LENGTH - 1);
            break;
        case 1:  // an FD frame without all of its data
            bytes[10] |= FRAME_FLAG_FD;
            length = pick(CLASSIC_LENGTH, FD_LENGTH - 1);
            break;
        case 2:  // a DLC no CAN frame has
            bytes[8] = static_cast<std::uint8_t>(pick(16, 255));
            length = pick(0, 1) != 0 ? CLASSIC_LENGTH : FD_LENGTH;
            break;
        case 3:  // a channel the adapter lacks
            bytes[9] = static_cast<std::uint8_t>(pick(static_cast<std::size_t>(icount) + 1, 255));
            length = pick(0, 1) != 0 ? CLASSIC_LENGTH : FD_LENGTH;
            break;
        default:  // more than a receive buffer holds
            length = pick(BUFFER_LENGTH + 1, bytes.size());
            break;
    }
    bytes.resize(length);
    feed(std::move(bytes));
}

}  // namespace ovsim
