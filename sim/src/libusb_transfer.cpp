// libusb's asynchronous transfer API: allocation, submission and cancellation.
#include "model.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace ovsim::detail {
namespace {

constexpr std::size_t round_up(std::size_t value, std::size_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

// The public transfer follows the private state in one allocation, as in libusb itself.
constexpr std::size_t PUBLIC_OFFSET = round_up(sizeof(TransferState), alignof(std::max_align_t));

TransferState& checked_state(libusb_transfer* transfer, const char* function) {
    if (transfer == nullptr) {
        misuse(function);
    }
    TransferState* state = TransferState::of(transfer);
    if (state->magic != TransferState::MAGIC) {
        misuse("a transfer that libusb_alloc_transfer did not return (or that was freed)");
    }
    return *state;
}

Endpoint classify(const libusb_transfer& pub) {
    if (pub.endpoint == ENDPOINT_CONTROL && pub.type == LIBUSB_TRANSFER_TYPE_CONTROL) {
        return Endpoint::Control;
    }
    if (pub.endpoint == ENDPOINT_BULK_IN && pub.type == LIBUSB_TRANSFER_TYPE_BULK) {
        return Endpoint::BulkIn;
    }
    if (pub.endpoint == ENDPOINT_BULK_OUT && pub.type == LIBUSB_TRANSFER_TYPE_BULK) {
        return Endpoint::BulkOut;
    }
    misuse("libusb_submit_transfer: endpoint and type match none of the adapter's endpoints");
}

void validate_submission(const libusb_transfer& pub) {
    require_open_handle(pub.dev_handle, "libusb_submit_transfer");
    if (pub.callback == nullptr) {
        misuse("libusb_submit_transfer: transfer without a callback");
    }
    if (pub.length < 0 || (pub.length > 0 && pub.buffer == nullptr)) {
        misuse("libusb_submit_transfer: negative length or no buffer");
    }
    if (pub.type == LIBUSB_TRANSFER_TYPE_CONTROL) {
        constexpr int setup_size = static_cast<int>(LIBUSB_CONTROL_SETUP_SIZE);
        if (pub.length < setup_size) {
            misuse("libusb_submit_transfer: control transfer shorter than its setup packet");
        }
        const int w_length = pub.buffer[6] | (pub.buffer[7] << 8);
        if (pub.length < setup_size + w_length) {
            misuse("libusb_submit_transfer: control transfer shorter than 8 + wLength");
        }
    }
}

// Whether another handle of the adapter holds interface 0 that this one has not claimed:
// the kernel then refuses the bulk request.
bool interface_taken_by_other(const libusb_device_handle& handle) {
    if (handle.claimed) {
        return false;
    }
    for (const libusb_device_handle* other : handle.adapter->handles) {
        if (other != &handle && other->claimed) {
            return true;
        }
    }
    return false;
}

std::optional<int> take_refusal(AdapterModel& adapter, std::uint8_t endpoint) {
    auto found = adapter.refusals.find(endpoint);
    if (found == adapter.refusals.end()) {
        return std::nullopt;
    }
    const int code = found->second.code;
    if (found->second.remaining > 0 && --found->second.remaining == 0) {
        adapter.refusals.erase(found);
    }
    return code;
}

}  // namespace

libusb_transfer* TransferState::pub() {
    return reinterpret_cast<libusb_transfer*>(reinterpret_cast<unsigned char*>(this) +
                                              PUBLIC_OFFSET);
}

TransferState* TransferState::of(libusb_transfer* transfer) {
    return reinterpret_cast<TransferState*>(reinterpret_cast<unsigned char*>(transfer) -
                                            PUBLIC_OFFSET);
}

std::size_t TransferState::allocation_size(int iso_packets) {
    return PUBLIC_OFFSET + sizeof(libusb_transfer) +
           static_cast<std::size_t>(iso_packets) * sizeof(libusb_iso_packet_descriptor);
}

}  // namespace ovsim::detail

using namespace ovsim::detail;

extern "C" {

libusb_transfer* LIBUSB_CALL libusb_alloc_transfer(int iso_packets) {
    record_call("libusb_alloc_transfer");
    if (iso_packets < 0) {
        misuse("libusb_alloc_transfer: negative number of isochronous packets");
    }
    Sim& s = sim();
    {
        std::lock_guard lock(s.mutex);
        if (s.alloc_successes_before_failure > 0) {
            --s.alloc_successes_before_failure;
        } else if (s.alloc_failures > 0) {
            --s.alloc_failures;
            return nullptr;
        }
        ++s.counters.transfers_allocated;
    }
    void* memory = ::operator new(TransferState::allocation_size(iso_packets));
    auto* state = new (memory) TransferState();
    libusb_transfer* pub = state->pub();
    std::memset(static_cast<void*>(pub), 0,
                sizeof(libusb_transfer) +
                    static_cast<std::size_t>(iso_packets) * sizeof(libusb_iso_packet_descriptor));
    pub->num_iso_packets = iso_packets;
    return pub;
}

void LIBUSB_CALL libusb_free_transfer(libusb_transfer* transfer) {
    record_call("libusb_free_transfer");
    if (transfer == nullptr) {
        return;
    }
    Sim& s = sim();
    TransferState* state = nullptr;
    {
        std::lock_guard lock(s.mutex);
        state = &checked_state(transfer, "libusb_free_transfer: NULL transfer");
        if (state->phase != TransferState::Phase::Idle) {
            misuse("libusb_free_transfer: the transfer is still in flight");
        }
        state->magic = 0;
        --s.counters.transfers_allocated;
    }
    if ((transfer->flags & LIBUSB_TRANSFER_FREE_BUFFER) != 0) {
        std::free(transfer->buffer);
    }
    state->~TransferState();
    ::operator delete(static_cast<void*>(state));
}

int LIBUSB_CALL libusb_submit_transfer(libusb_transfer* transfer) {
    Sim& s = sim();
    std::lock_guard lock(s.mutex);
    TransferState& state = checked_state(transfer, "libusb_submit_transfer: NULL transfer");
    validate_submission(*transfer);
    const Endpoint endpoint = classify(*transfer);
    if (state.phase != TransferState::Phase::Idle) {
        return LIBUSB_ERROR_BUSY;
    }
    libusb_device_handle& handle = *transfer->dev_handle;
    AdapterModel& adapter = *handle.adapter;
    if (adapter.unplugged) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    if (const std::optional<int> refused = take_refusal(adapter, transfer->endpoint)) {
        return *refused;
    }
    if (endpoint != Endpoint::Control && interface_taken_by_other(handle)) {
        return LIBUSB_ERROR_IO;
    }
    state.endpoint = endpoint;
    state.handle = &handle;
    state.context = handle.context;
    state.cancel_requested = false;
    state.stamp_release = false;
    transfer->status = LIBUSB_TRANSFER_COMPLETED;
    transfer->actual_length = 0;
    switch (endpoint) {
        case Endpoint::Control:
            adapter_control(s, adapter, state);
            break;
        case Endpoint::BulkIn:
            adapter_bulk_in(s, adapter, state);
            break;
        case Endpoint::BulkOut:
            adapter_bulk_out(s, adapter, state);
            break;
    }
    return 0;
}

int LIBUSB_CALL libusb_cancel_transfer(libusb_transfer* transfer) {
    Sim& s = sim();
    std::lock_guard lock(s.mutex);
    TransferState& state = checked_state(transfer, "libusb_cancel_transfer: NULL transfer");
    libusb_device_handle* handle =
        state.phase == TransferState::Phase::Idle ? transfer->dev_handle : state.handle;
    if (handle != nullptr && handle->closed) {
        misuse("libusb_cancel_transfer: the transfer's device handle is closed");
    }
    if (state.phase == TransferState::Phase::Idle || state.cancel_requested) {
        return LIBUSB_ERROR_NOT_FOUND;
    }
    if (handle != nullptr && handle->adapter->cancel_refusal) {
        auto& refusal = *handle->adapter->cancel_refusal;
        const int code = refusal.code;
        if (refusal.remaining > 0 && --refusal.remaining == 0) {
            handle->adapter->cancel_refusal.reset();
        }
        return code;
    }
    state.cancel_requested = true;
    // A transfer whose outcome is already decided keeps it: the cancellation came too late.
    if (state.phase == TransferState::Phase::Pending) {
        queue_completion(s, state, LIBUSB_TRANSFER_CANCELLED, 0);
    }
    return 0;
}

}  // extern "C"
