#include "usb/send_windows.h"

#include <algorithm>

#include "gsusb/host_frame.h"

namespace ovel::usb {

std::uint64_t SendLedger::next_id() {
    std::uint64_t id = next_id_.fetch_add(1, std::memory_order_relaxed);
    while (static_cast<std::uint32_t>(id) == 0) {
        id = next_id_.fetch_add(1, std::memory_order_relaxed);
    }
    return id;
}

void SendLedger::report(const FailedSend& failed) {
    std::lock_guard lock(mutex_);
    ++failed_total_;
    if (failed_.size() < FAILED_SENDS_KEPT) {
        failed_.push_back(failed);
    } else {
        ++failed_not_kept_;
    }
}

void SendLedger::report_all(const std::vector<FailedSend>& failed) {
    for (const FailedSend& one : failed) {
        report(one);
    }
}

std::size_t SendLedger::take_failed(FailedSend* out, std::size_t capacity) {
    std::lock_guard lock(mutex_);
    const std::size_t taken = std::min(capacity, failed_.size());
    std::copy_n(failed_.begin(), taken, out);
    failed_.erase(failed_.begin(), failed_.begin() + static_cast<std::ptrdiff_t>(taken));
    return taken;
}

SendCounters SendLedger::counters() const {
    SendCounters counters;
    counters.queued = queued_.load(std::memory_order_relaxed);
    counters.echoed = echoed_.load(std::memory_order_relaxed);
    std::lock_guard lock(mutex_);
    counters.failed = failed_total_;
    counters.failed_not_kept = failed_not_kept_;
    return counters;
}

void SendWindows::open_channel(std::uint8_t channel) {
    std::lock_guard lock(mutex_);
    windows_[channel].open = true;
}

void SendWindows::fail_locked(Window& window, std::uint8_t channel, SendEnd reason,
                              std::vector<FailedSend>& failed) {
    for (const InFlight& frame : window.frames) {
        failed.push_back({frame.send_id, channel, reason});
    }
    total_in_flight_ -= window.frames.size();
    window.frames.clear();
}

void SendWindows::close_channel(std::uint8_t channel, SendEnd reason) {
    std::vector<FailedSend> failed;
    std::shared_ptr<SendLedger> ledger;
    {
        std::lock_guard lock(mutex_);
        windows_[channel].open = false;
        fail_locked(windows_[channel], channel, reason, failed);
        ledger = ledger_;
    }
    changed_.notify_all();
    if (ledger) {
        ledger->report_all(failed);
    }
}

void SendWindows::close_all(SendEnd reason) {
    std::vector<FailedSend> failed;
    std::shared_ptr<SendLedger> ledger;
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
        for (std::size_t channel = 0; channel < windows_.size(); ++channel) {
            windows_[channel].open = false;
            fail_locked(windows_[channel], static_cast<std::uint8_t>(channel), reason, failed);
        }
        ledger = ledger_;
    }
    changed_.notify_all();
    if (ledger) {
        ledger->report_all(failed);
    }
}

bool SendWindows::set_limit(std::uint8_t channel, unsigned limit) {
    if (limit < 1 || limit > SEND_WINDOW_MAX) {
        return false;
    }
    {
        std::lock_guard lock(mutex_);
        windows_[channel].limit = limit;
    }
    changed_.notify_all();
    return true;
}

SendWindows::Reserve SendWindows::reserve(std::uint8_t channel,
                                          const std::shared_ptr<SendLedger>& ledger,
                                          std::uint64_t& send_id, std::uint32_t& echo_id) {
    std::lock_guard lock(mutex_);
    if (closed_) {
        return Reserve::Closed;
    }
    Window& window = windows_[channel];
    if (!window.open) {
        return Reserve::ChannelClosed;
    }
    if (!has_room_locked(window)) {
        return Reserve::Full;
    }
    if (ledger_ != ledger) {
        ledger_ = ledger;
    }
    send_id = ledger->next_id();
    echo_id = gsusb::echo_id_for_send(send_id);
    window.frames.push_back({send_id, echo_id});
    ++total_in_flight_;
    return Reserve::Reserved;
}

bool SendWindows::remove_locked(std::uint8_t channel, std::uint64_t send_id) {
    auto& frames = windows_[channel].frames;
    const auto found = std::find_if(frames.begin(), frames.end(),
                                    [&](const InFlight& frame) { return frame.send_id == send_id; });
    if (found == frames.end()) {
        return false;
    }
    frames.erase(found);
    --total_in_flight_;
    return true;
}

void SendWindows::unreserve(std::uint8_t channel, std::uint64_t send_id) {
    {
        std::lock_guard lock(mutex_);
        if (!remove_locked(channel, send_id)) {
            return;
        }
    }
    changed_.notify_all();
}

void SendWindows::out_failed(std::uint8_t channel, std::uint64_t send_id, SendEnd reason) {
    std::shared_ptr<SendLedger> ledger;
    {
        std::lock_guard lock(mutex_);
        // Not there: already echoed, or already reported (its channel stopped meanwhile).
        if (!remove_locked(channel, send_id)) {
            return;
        }
        ledger = ledger_;
    }
    changed_.notify_all();
    if (ledger) {
        ledger->report({send_id, channel, reason});
    }
}

std::optional<std::uint64_t> SendWindows::match_echo(std::uint8_t channel, std::uint32_t echo_id) {
    std::optional<std::uint64_t> matched;
    {
        std::lock_guard lock(mutex_);
        auto& frames = windows_[channel].frames;
        // Echoes come in the order the frames went out: the oldest matches but for a lost echo.
        const auto found = std::find_if(frames.begin(), frames.end(), [&](const InFlight& frame) {
            return frame.echo_id == echo_id;
        });
        if (found != frames.end()) {
            matched = found->send_id;
            frames.erase(found);
            --total_in_flight_;
            // A frame was in flight, so a ledger was set; counted here, without taking a
            // reference to it on every echo.
            ledger_->count_echoed();
        }
    }
    if (matched) {
        changed_.notify_all();
    } else {
        unmatched_.fetch_add(1, std::memory_order_relaxed);
    }
    return matched;
}

bool SendWindows::wait_room(std::uint8_t channel, std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    return changed_.wait_until(lock, deadline, [&] {
        const Window& window = windows_[channel];
        return closed_ || !window.open || has_room_locked(window);
    });
}

bool SendWindows::wait_empty(std::optional<std::uint8_t> channel,
                             std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    return changed_.wait_until(lock, deadline, [&] {
        return channel ? windows_[*channel].frames.empty() : total_in_flight_ == 0;
    });
}

bool SendWindows::any_in_flight() const {
    std::lock_guard lock(mutex_);
    return total_in_flight_ > 0;
}

std::size_t SendWindows::in_flight(std::uint8_t channel) const {
    std::lock_guard lock(mutex_);
    return windows_[channel].frames.size();
}

}  // namespace ovel::usb
