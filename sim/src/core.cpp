// Shared state, misuse reporting and the ways a transfer's outcome is settled.
#include "model.h"

#include <cstdio>
#include <cstdlib>

namespace ovsim::detail {

Sim& sim() {
    // Never destroyed: detached driver threads may still call in while the process exits.
    static Sim* const instance = new Sim();
    return *instance;
}

void misuse(const char* what) {
    std::fprintf(stderr, "ovsim: misuse: %s\n", what);
    std::fflush(stderr);
    std::abort();
}

void record_call(const char* function) {
    Sim& s = sim();
    std::lock_guard lock(s.calls_mutex);
    s.calls.emplace_back(function);
}

Clock::duration scaled(const Sim& s, std::chrono::microseconds duration) {
    const std::chrono::duration<double, std::micro> result = duration * s.time_scale;
    return std::chrono::duration_cast<Clock::duration>(result);
}

void require_context(const libusb_context* context, const char* function) {
    if (context == nullptr) {
        std::fprintf(stderr, "ovsim: misuse: %s: the default context (NULL) is not supported\n",
                     function);
        std::fflush(stderr);
        std::abort();
    }
    if (!context->alive) {
        std::fprintf(stderr, "ovsim: misuse: %s: context used after libusb_exit\n", function);
        std::fflush(stderr);
        std::abort();
    }
}

void require_open_handle(const libusb_device_handle* handle, const char* function) {
    if (handle == nullptr) {
        std::fprintf(stderr, "ovsim: misuse: %s: NULL device handle\n", function);
        std::fflush(stderr);
        std::abort();
    }
    if (handle->closed) {
        std::fprintf(stderr, "ovsim: misuse: %s: device handle used after libusb_close\n",
                     function);
        std::fflush(stderr);
        std::abort();
    }
}

void queue_completion(Sim& s, TransferState& transfer, libusb_transfer_status status, int length) {
    decide_outcome(s, transfer, status, length);
    release_completion(transfer);
}

void make_pending(Sim& s, TransferState& transfer) {
    libusb_transfer& pub = *transfer.pub();
    transfer.phase = TransferState::Phase::Pending;
    transfer.has_deadline = pub.timeout != 0;
    if (transfer.has_deadline) {
        transfer.deadline = Clock::now() + scaled(s, std::chrono::milliseconds(pub.timeout));
    }
    ++s.counters.transfers_in_flight;
    transfer.context->pending.push_back(transfer);
    transfer.context->changes.fetch_add(1, std::memory_order_release);
    if (transfer.endpoint == Endpoint::BulkIn) {
        transfer.handle->adapter->pending_in.push_back(transfer);
    }
    // A sleeping event thread must wake for the new deadline.
    if (transfer.has_deadline) {
        plan_wake(*transfer.context, transfer.deadline);
    }
}

void notify_adapter_contexts(AdapterModel& adapter) {
    for (libusb_device_handle* handle : adapter.handles) {
        handle->context->changes.fetch_add(1, std::memory_order_release);
        if (has_sleepers(*handle->context)) {
            wake_context(*handle->context);
        }
    }
}

}  // namespace ovsim::detail
