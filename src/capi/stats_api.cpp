// ovel_canfd_get_stats: the device's counters copied into the caller's versioned record.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <exception>

#include "capi/driver.h"

using ovel::Driver;

namespace {

static_assert(offsetof(ovel_canfd_stats, rx_state) == 4);
static_assert(offsetof(ovel_canfd_stats, rx_transfers_in_flight) == 12);
static_assert(offsetof(ovel_canfd_stats, rx_frames) == 16);
static_assert(offsetof(ovel_canfd_stats, rx_dropped_short) == 48);
static_assert(offsetof(ovel_canfd_stats, rx_queue_depth) == 80);
static_assert(offsetof(ovel_canfd_stats, rx_transfer_errors) == 96);
static_assert(offsetof(ovel_canfd_stats, tx_frames) == 128);
static_assert(offsetof(ovel_canfd_stats, tx_timeouts) == 144);
static_assert(offsetof(ovel_canfd_stats, send_queued) == 152);
static_assert(sizeof(ovel_canfd_stats) == 192);

constexpr const char* OPERATION = "failed to get stats: ";

std::uint32_t state_code(ovel::usb::RxState state) {
    switch (state) {
        case ovel::usb::RxState::Running:
            return OVEL_CANFD_RX_RUNNING;
        case ovel::usb::RxState::Ended:
            return OVEL_CANFD_RX_ENDED;
        case ovel::usb::RxState::Stopped:
            break;
    }
    return OVEL_CANFD_RX_STOPPED;
}

std::uint32_t end_code(ovel::usb::RxEnd end) {
    switch (end) {
        case ovel::usb::RxEnd::Unplugged:
            return OVEL_CANFD_RX_END_UNPLUGGED;
        case ovel::usb::RxEnd::StallPersists:
            return OVEL_CANFD_RX_END_STALL_PERSISTS;
        case ovel::usb::RxEnd::ErrorsPersist:
            return OVEL_CANFD_RX_END_ERRORS_PERSIST;
        case ovel::usb::RxEnd::None:
            break;
    }
    return OVEL_CANFD_RX_END_NONE;
}

ovel_canfd_stats to_record(const ovel::DeviceStats& stats, const ovel::usb::SendCounters& sends) {
    const ovel::usb::RxHealth& rx = stats.rx;
    ovel_canfd_stats record{};
    record.size = sizeof record;
    record.rx_state = state_code(rx.state);
    record.rx_end_reason = end_code(rx.end);
    record.rx_transfers_in_flight = static_cast<std::uint32_t>(std::max(rx.transfers_in_flight, 0));
    record.rx_frames = rx.frames;
    record.rx_delivered = stats.delivered;
    record.rx_echoes = rx.echoes;
    record.rx_overflow_flags = rx.overflow_flags;
    record.rx_dropped_short = rx.dropped_short;
    record.rx_dropped_header = rx.dropped_header;
    record.rx_dropped_overflow = rx.dropped_overflow;
    record.rx_dropped_no_memory = rx.dropped_no_memory;
    record.rx_queue_depth = stats.queue_depth;
    record.rx_queue_high_water = stats.queue_high_water;
    record.rx_transfer_errors = rx.transfer_errors;
    record.rx_refusals = rx.refusals;
    record.rx_halts_cleared = rx.halts_cleared;
    record.rx_retries = rx.retries;
    record.tx_frames = stats.tx_frames;
    record.tx_failures = stats.tx_failures;
    record.tx_timeouts = stats.tx_timeouts;
    record.send_queued = sends.queued;
    record.send_echoed = sends.echoed;
    record.send_failed = sends.failed;
    record.send_failures_not_kept = sends.failed_not_kept;
    record.send_echoes_unmatched = stats.send_echoes_unmatched;
    return record;
}

// The bytes of whole fields that fit into `size`: the record is 4-byte fields, then 8-byte ones.
std::size_t whole_fields(std::size_t size) {
    constexpr std::size_t head = offsetof(ovel_canfd_stats, rx_frames);
    const std::size_t fits = std::min(size, sizeof(ovel_canfd_stats));
    return fits <= head ? fits / 4 * 4 : head + (fits - head) / 8 * 8;
}

void fail(Driver* driver, const char* why) {
    driver->failures.set(std::string(OPERATION) + why);
}

}  // namespace

extern "C" {

OVEL_CANFD_API int32_t ovel_canfd_get_stats(ovel_canfd_driver* handle, ovel_canfd_stats* out) {
    if (handle == nullptr) {
        return OVEL_CANFD_NO_DEVICE;
    }
    try {
        std::unique_lock lock(handle->config_mutex);
        if (!handle->device) {
            lock.unlock();
            fail(handle, "no open device");
            return OVEL_CANFD_NO_DEVICE;
        }
        const ovel::DeviceStats stats = handle->device->stats();
        lock.unlock();
        if (out == nullptr) {
            fail(handle, "null stats record");
            return OVEL_CANFD_ERR_INVALID_ARGUMENT;
        }
        std::uint32_t size = 0;
        std::memcpy(&size, out, sizeof size);
        if (size < sizeof size) {
            fail(handle, "size too small");
            return OVEL_CANFD_ERR_INVALID_ARGUMENT;
        }
        ovel_canfd_stats record = to_record(stats, handle->send_ledger->counters());
        const std::size_t filled = whole_fields(size);
        record.size = static_cast<std::uint32_t>(filled);
        // Only the bytes the caller has: its record may be an older, shorter version.
        std::memcpy(out, &record, filled);
        handle->failures.clear();
        return OVEL_CANFD_OK;
    } catch (const std::exception&) {
        fail(handle, "out of memory");
        return OVEL_CANFD_ERR_DEVICE;
    }
}

}  // extern "C"
