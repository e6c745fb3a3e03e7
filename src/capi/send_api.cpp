// Queued sends: ovel_canfd_send, its window, flush and the failed sends.
#include <chrono>
#include <cstddef>
#include <exception>
#include <memory>
#include <optional>
#include <vector>
#include <algorithm>

#include "capi/driver.h"
#include "capi/entry_points.h"
#include "capi/frame_mapping.h"
#include "capi/return_codes.h"

using ovel::Device;
using ovel::DriverError;
using ovel::Expected;

namespace {

constexpr const char* SEND_OPERATION = "failed to send frame";

static_assert(sizeof(ovel_canfd_failed_send) == 8);
static_assert(offsetof(ovel_canfd_failed_send, channel) == 4);
static_assert(offsetof(ovel_canfd_failed_send, reason) == 5);
using ovel::usb::SendEnd;
static_assert(OVEL_CANFD_SEND_FAILED_TRANSFER == static_cast<int>(SendEnd::TransferFailed));
static_assert(OVEL_CANFD_SEND_FAILED_TIMEOUT == static_cast<int>(SendEnd::TimedOut));
static_assert(OVEL_CANFD_SEND_FAILED_STOPPED == static_cast<int>(SendEnd::Stopped));
static_assert(OVEL_CANFD_SEND_FAILED_UNPLUGGED == static_cast<int>(SendEnd::Unplugged));
static_assert(OVEL_CANFD_SEND_FAILED_CLOSED == static_cast<int>(SendEnd::Closed));

std::chrono::steady_clock::time_point deadline_after(std::uint32_t timeout_ms) {
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
}

}  // namespace

extern "C" {

OVEL_CANFD_API int32_t ovel_canfd_send(ovel_canfd_driver* handle, const ovel_canfd_frame* frame,
                                       uint32_t timeout_ms, uint32_t* send_id) {
    if (handle == nullptr) {
        return OVEL_CANFD_NO_DEVICE;
    }
    const auto deadline = deadline_after(timeout_ms);
    for (;;) {
        std::uint64_t sent_id = 0;
        // Set when the window is full and the caller waits: the wait runs without the transmit
        // lock, on the windows, which outlive a close that happens meanwhile.
        std::shared_ptr<ovel::usb::SendWindows> wait_on;
        const std::int32_t code = ovel::capi::with_device(
            handle, handle->tx_mutex, SEND_OPERATION, [&](Device& device) -> Expected<void, DriverError> {
                if (frame == nullptr) {
                    return ovel::unexpected(DriverError::invalid_frame("frame"));
                }
                auto sent = device.send(ovel::can_frame_from_record(*frame), handle->send_ledger);
                if (!sent) {
                    if (sent.error().kind() == DriverError::Kind::Busy && timeout_ms != 0) {
                        wait_on = device.send_windows();
                        return {};
                    }
                    return ovel::unexpected(sent.error());
                }
                sent_id = sent.value();
                return {};
            });
        if (code != OVEL_CANFD_OK) {
            return code;
        }
        if (!wait_on) {
            if (send_id != nullptr) {
                *send_id = static_cast<std::uint32_t>(sent_id);
            }
            return OVEL_CANFD_OK;
        }
        // Woken by room, a stop or a close; the next attempt tells which.
        if (!wait_on->wait_room(frame->channel, deadline)) {
            ovel::capi::set_failure(handle, SEND_OPERATION, "Timeout");
            return OVEL_CANFD_ERR_TIMEOUT;
        }
    }
}

OVEL_CANFD_API int32_t ovel_canfd_set_send_window(ovel_canfd_driver* handle, uint8_t channel,
                                                  uint32_t frames) {
    return ovel::capi::configure_device(handle, "failed to set send window",
                                        [&](Device& device) -> Expected<void, DriverError> {
                                            return device.set_send_window(channel, frames);
                                        });
}

OVEL_CANFD_API int32_t ovel_canfd_flush(ovel_canfd_driver* handle, int32_t channel,
                                        uint32_t timeout_ms) {
    if (handle == nullptr) {
        return OVEL_CANFD_NO_DEVICE;
    }
    const auto deadline = deadline_after(timeout_ms);
    std::shared_ptr<ovel::usb::SendWindows> windows;
    const std::int32_t code = ovel::capi::with_device(
        handle, handle->tx_mutex, "failed to flush", [&](Device& device) -> Expected<void, DriverError> {
            if (channel != OVEL_CANFD_ALL_CHANNELS &&
                (channel < 0 || static_cast<unsigned>(channel) > device.icount())) {
                return ovel::unexpected(DriverError::invalid_channel());
            }
            windows = device.send_windows();
            return {};
        });
    if (code != OVEL_CANFD_OK) {
        return code;
    }
    const std::optional<std::uint8_t> which =
        channel == OVEL_CANFD_ALL_CHANNELS ? std::nullopt
                                           : std::optional<std::uint8_t>(
                                                 static_cast<std::uint8_t>(channel));
    if (!windows->wait_empty(which, deadline)) {
        ovel::capi::set_failure(handle, "failed to flush", "Timeout");
        return OVEL_CANFD_ERR_TIMEOUT;
    }
    return OVEL_CANFD_OK;
}

OVEL_CANFD_API int32_t ovel_canfd_get_failed_sends(ovel_canfd_driver* handle,
                                                   ovel_canfd_failed_send* out,
                                                   uint32_t capacity, uint32_t* count) {
    if (handle == nullptr) {
        return OVEL_CANFD_NO_DEVICE;
    }
    if (count == nullptr || (out == nullptr && capacity > 0)) {
        handle->failures.set(count == nullptr ? "failed to get failed sends: null count"
                                              : "failed to get failed sends: null out");
        return OVEL_CANFD_ERR_INVALID_ARGUMENT;
    }
    try {
        std::vector<ovel::usb::FailedSend> taken(std::min<std::uint32_t>(capacity, 4096));
        const std::size_t got = handle->send_ledger->take_failed(taken.data(), taken.size());
        for (std::size_t i = 0; i < got; ++i) {
            out[i] = ovel_canfd_failed_send{static_cast<std::uint32_t>(taken[i].send_id),
                                            taken[i].channel,
                                            static_cast<std::uint8_t>(taken[i].reason),
                                            {0, 0}};
        }
        *count = static_cast<std::uint32_t>(got);
    } catch (const std::exception&) {
        handle->failures.set("failed to get failed sends: out of memory");
        return OVEL_CANFD_ERR_DEVICE;
    }
    handle->failures.clear();
    return OVEL_CANFD_OK;
}

}  // extern "C"
