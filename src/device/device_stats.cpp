#include "device/device.h"

namespace ovel {

DeviceStats Device::stats() const {
    constexpr auto relaxed = std::memory_order_relaxed;
    DeviceStats stats;
    stats.rx = usb_->rx_health();
    stats.delivered = delivered_->load(relaxed);
    stats.tx_frames = tx_counters_.frames.load(relaxed);
    stats.tx_failures = tx_counters_.failures.load(relaxed);
    stats.tx_timeouts = tx_counters_.timeouts.load(relaxed);
    stats.queue_depth = usb_->rx_queue()->size();
    stats.queue_high_water = usb_->rx_queue()->high_water();
    stats.send_echoes_unmatched = usb_->send_windows()->unmatched();
    return stats;
}

}  // namespace ovel
