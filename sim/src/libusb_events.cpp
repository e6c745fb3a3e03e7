// Contexts and event handling: the only place where completion callbacks run.
#include "model.h"

#include <algorithm>

namespace ovsim::detail {
namespace {

constexpr std::chrono::milliseconds EVENT_WAIT_LIMIT{60'000};

void expire_timeouts(Sim& s, libusb_context& context, Clock::time_point now) {
    TransferState* transfer = context.pending.front();
    while (transfer != nullptr) {
        TransferState* following = ContextList::next(*transfer);
        if (transfer->has_deadline && transfer->deadline <= now) {
            queue_completion(s, *transfer, LIBUSB_TRANSFER_TIMED_OUT, 0);
        }
        transfer = following;
    }
}

std::optional<Clock::time_point> next_deadline(const libusb_context& context) {
    std::optional<Clock::time_point> earliest;
    for (TransferState* transfer = context.pending.front(); transfer != nullptr;
         transfer = ContextList::next(*transfer)) {
        if (transfer->has_deadline && (!earliest || transfer->deadline < *earliest)) {
            earliest = transfer->deadline;
        }
    }
    return earliest;
}

// Completes the stream frames that are due and releases the completions whose frame boundary
// has passed; returns when the next of either is due.
std::optional<Clock::time_point> pump_adapters(Sim& s, libusb_context& context,
                                               Clock::time_point now) {
    std::optional<Clock::time_point> earliest;
    for (libusb_device_handle* handle : context.open_handles) {
        AdapterModel& adapter = *handle->adapter;
        if (const auto due = adapter_finish_split(s, adapter, now)) {
            earliest = earliest ? std::min(*earliest, *due) : *due;
        }
        if (const auto due = adapter_pump_stream(s, adapter, now)) {
            earliest = earliest ? std::min(*earliest, *due) : *due;
        }
        if (adapter.bus_timing || !adapter.waiting_out.empty()) {
            if (const auto due = adapter_pump_tx(s, adapter, now)) {
                earliest = earliest ? std::min(*earliest, *due) : *due;
            }
        }
        if (adapter.scheduled.empty()) {
            continue;
        }
        if (const auto release = adapter_release_due(adapter, now)) {
            earliest = earliest ? std::min(*earliest, *release) : *release;
        }
    }
    return earliest;
}

// Applies what libusb does between reaping a transfer and calling its callback.
void publish_result(TransferState& state, libusb_transfer& pub) {
    libusb_transfer_status status = state.result_status;
    if (status == LIBUSB_TRANSFER_COMPLETED && (pub.flags & LIBUSB_TRANSFER_SHORT_NOT_OK) != 0) {
        const int setup_size = pub.type == LIBUSB_TRANSFER_TYPE_CONTROL
                                   ? static_cast<int>(LIBUSB_CONTROL_SETUP_SIZE)
                                   : 0;
        const int requested = pub.length - setup_size;
        if (state.result_length != requested) {
            status = LIBUSB_TRANSFER_ERROR;
        }
    }
    pub.status = status;
    pub.actual_length = state.result_length;
}

// Delivers the completions queued when it starts, one callback at a time, without the lock.
// Completions queued by those callbacks wait for the next call, as events that arrive during
// one poll of libusb wait for the next.
void deliver_completions(Sim& s, libusb_context& context, std::unique_lock<std::mutex>& lock) {
    context.handler_active = true;
    context.handler_thread = std::this_thread::get_id();
    std::size_t budget = context.completions.size();
    while (budget > 0 && !context.completions.empty()) {
        --budget;
        TransferState& state = *context.completions.pop_front();
        state.phase = TransferState::Phase::Idle;
        --s.counters.transfers_in_flight;
        libusb_transfer& pub = *state.pub();
        publish_result(state, pub);
        const libusb_transfer_cb_fn callback = pub.callback;
        const std::uint8_t flags = pub.flags;
        context.delivering_handle = state.handle;
        lock.unlock();
        callback(&pub);
        if ((flags & LIBUSB_TRANSFER_FREE_TRANSFER) != 0) {
            libusb_free_transfer(&pub);
        }
        lock.lock();
        context.delivering_handle = nullptr;
        if (context.close_waiters > 0) {
            context.wakeup.notify_all();
        }
    }
    context.handler_active = false;
    ++context.handler_generation;
    if (has_sleepers(context)) {
        wake_context(context);
    }
}

// Waits in ppoll until `wake` (with the usual timer slack, as a futex wait has), the timer
// that plan_wake arms, or wake_context. The lock is released meanwhile.
void poll_sleep(libusb_context& context, std::unique_lock<std::mutex>& lock,
                Clock::time_point wake) {
    context.poll_sleeping = true;
    context.poll_sleeping_until = wake;
    lock.unlock();
    context.poller.sleep_until(wake);
    lock.lock();
    context.poll_sleeping = false;
    // Each costs a system call: only what was used is reset.
    if (context.wake_written) {
        context.wake_written = false;
        context.poller.consume_signal();
    }
    if (context.timer_armed) {
        context.timer_armed = false;
        context.poller.consume_timer();
    }
}

void sleep_until(Sim& s, libusb_context& context, std::unique_lock<std::mutex>& lock,
                 Clock::time_point wake) {
    ++s.counters.threads_blocked_in_handle_events;
    ++s.counters.handle_events_sleeps;
    if (!context.poll_sleeping && context.poller.is_open()) {
        poll_sleep(context, lock, wake);
    } else {
        if (context.sleepers == 0 || wake < context.sleeping_until) {
            context.sleeping_until = wake;
        }
        ++context.sleepers;
        context.wakeup.wait_until(lock, wake);
        --context.sleepers;
    }
    --s.counters.threads_blocked_in_handle_events;
}

// The failure that fail_handle_events asked for, if this call is one of those it fails.
std::optional<int> injected_events_failure(Sim& s) {
    int left = s.events_failures_left.load();
    while (left != 0) {
        if (left < 0 || s.events_failures_left.compare_exchange_weak(left, left - 1)) {
            s.events_failures_returned.fetch_add(1);
            return s.events_failure_code.load();
        }
    }
    return std::nullopt;
}

// One call of event handling, for both entry points: returns once completions were delivered,
// another thread's handling ended, an interrupt or a close woke it, `completed` became non-zero,
// or `limit` passed (a limit already passed polls once without blocking, as a zero time-out does).
int handle_events_until(Sim& s, libusb_context& context, std::unique_lock<std::mutex>& lock,
                        Clock::time_point limit, const int* completed) {
    if (context.handler_active && context.handler_thread == std::this_thread::get_id()) {
        return LIBUSB_ERROR_BUSY;  // called from a completion callback, as libusb refuses it
    }
    ++context.threads_inside;
    ++s.counters.threads_in_handle_events;
    const std::uint64_t close_epoch = context.close_epoch;
    int result = 0;
    for (;;) {
        // Also while waiting, as a poll of libusb's descriptors fails.
        if (const auto failure = injected_events_failure(s)) {
            result = *failure;
            break;
        }
        if (completed != nullptr && *completed != 0) {
            break;
        }
        if (context.interrupt_pending) {
            context.interrupt_pending = false;
            break;
        }
        if (context.close_epoch != close_epoch) {
            break;
        }
        const Clock::time_point now = Clock::now();
        if (context.handler_active) {
            // Like libusb: another thread is handling events; wait for it to finish, then return.
            const std::uint64_t generation = context.handler_generation;
            if (now >= limit) {
                break;
            }
            ++context.sleepers;
            context.wakeup.wait_until(lock, limit);
            --context.sleepers;
            if (context.handler_generation != generation) {
                break;
            }
            continue;
        }
        expire_timeouts(s, context, now);
        const std::optional<Clock::time_point> adapter_due = pump_adapters(s, context, now);
        if (!context.completions.empty()) {
            deliver_completions(s, context, lock);
            break;
        }
        Clock::time_point wake = Clock::time_point::max();
        if (const auto deadline = next_deadline(context)) {
            wake = std::min(wake, *deadline);
        }
        if (adapter_due) {
            wake = std::min(wake, *adapter_due);
        }
        if (now >= limit) {
            // The due time first: a reader that sees these changes also sees their due time.
            context.quiet_until.store(wake.time_since_epoch().count(), std::memory_order_relaxed);
            context.quiet_changes.store(context.changes.load(std::memory_order_relaxed),
                                        std::memory_order_release);
            break;
        }
        wake = std::min(wake, limit);
        sleep_until(s, context, lock, wake);
    }
    --context.threads_inside;
    --s.counters.threads_in_handle_events;
    return result;
}

}  // namespace

void wake_context(libusb_context& context) {
    context.wakeup.notify_all();
    if (context.poll_sleeping && !context.wake_written) {
        context.wake_written = true;
        context.poller.signal();
    }
}

void plan_wake(libusb_context& context, Clock::time_point when) {
    if (context.sleepers > 0 && when < context.sleeping_until) {
        context.wakeup.notify_all();
    }
    if (context.poll_sleeping && when < context.poll_sleeping_until) {
        context.poll_sleeping_until = when;
        context.poller.arm_timer(when);
        context.timer_armed = true;
    }
}

}  // namespace ovsim::detail

using namespace ovsim::detail;

extern "C" {

int LIBUSB_CALL libusb_init(libusb_context** context) {
    record_call("libusb_init");
    if (context == nullptr) {
        misuse("libusb_init: the default context (NULL) is not supported");
    }
    Sim& s = sim();
    std::lock_guard lock(s.mutex);
    if (s.init_result != 0) {
        return s.init_result;
    }
    auto created = std::make_unique<libusb_context>();
    // As libusb's own context holds an event descriptor and a timer descriptor, where the
    // system has them; elsewhere its threads sleep on the condition variable.
    if (!created->poller.open() && ovel::platform::has_poll_sleeper()) {
        return LIBUSB_ERROR_OTHER;
    }
    s.contexts.push_back(std::move(created));
    *context = s.contexts.back().get();
    ++s.counters.contexts;
    return 0;
}

void LIBUSB_CALL libusb_exit(libusb_context* context) {
    record_call("libusb_exit");
    Sim& s = sim();
    std::lock_guard lock(s.mutex);
    require_context(context, "libusb_exit");
    if (!context->open_handles.empty()) {
        misuse("libusb_exit: a device handle of this context is still open");
    }
    if (context->threads_inside > 0) {
        misuse("libusb_exit: a thread is inside libusb_handle_events of this context");
    }
    context->alive = false;
    context->poller.close();
    --s.counters.contexts;
}

int LIBUSB_CALL libusb_handle_events(libusb_context* context) {
    Sim& s = sim();
    std::unique_lock lock(s.mutex);
    require_context(context, "libusb_handle_events");
    return handle_events_until(s, *context, lock, Clock::now() + scaled(s, EVENT_WAIT_LIMIT),
                               nullptr);
}

int LIBUSB_CALL libusb_handle_events_timeout_completed(libusb_context* context, timeval* tv,
                                                       int* completed) {
    Sim& s = sim();
    if (tv == nullptr || tv->tv_sec < 0 || tv->tv_usec < 0 || tv->tv_usec >= 1'000'000) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    if (const auto failure = injected_events_failure(s)) {
        return *failure;
    }
    const auto timeout = std::chrono::seconds(tv->tv_sec) + std::chrono::microseconds(tv->tv_usec);
    std::unique_lock lock(s.mutex, std::defer_lock);
    if (timeout.count() == 0) {
        // Nothing changed since a poll found nothing to do, and nothing falls due yet.
        if (context != nullptr) {
            const std::uint64_t quiet = context->quiet_changes.load(std::memory_order_acquire);
            if (Clock::now().time_since_epoch().count() <
                    context->quiet_until.load(std::memory_order_relaxed) &&
                context->changes.load(std::memory_order_acquire) == quiet) {
                return 0;
            }
        }
        // A non-blocking poll finds nothing while another thread is busy inside the simulator
        // (as a poll of libusb's file descriptors may just miss a completion being reaped);
        // waiting for the lock would make a polling event thread slow down every submission.
        if (!lock.try_lock()) {
            return 0;
        }
    } else {
        lock.lock();
    }
    require_context(context, "libusb_handle_events_timeout_completed");
    return handle_events_until(s, *context, lock, Clock::now() + scaled(s, timeout), completed);
}

void LIBUSB_CALL libusb_interrupt_event_handler(libusb_context* context) {
    record_call("libusb_interrupt_event_handler");
    Sim& s = sim();
    std::lock_guard lock(s.mutex);
    require_context(context, "libusb_interrupt_event_handler");
    context->interrupt_pending = true;
    wake_context(*context);
}

const char* LIBUSB_CALL libusb_error_name(int code) {
    switch (code) {
        case LIBUSB_SUCCESS:
            return "LIBUSB_SUCCESS / LIBUSB_TRANSFER_COMPLETED";
        case LIBUSB_ERROR_IO:
            return "LIBUSB_ERROR_IO";
        case LIBUSB_ERROR_INVALID_PARAM:
            return "LIBUSB_ERROR_INVALID_PARAM";
        case LIBUSB_ERROR_ACCESS:
            return "LIBUSB_ERROR_ACCESS";
        case LIBUSB_ERROR_NO_DEVICE:
            return "LIBUSB_ERROR_NO_DEVICE";
        case LIBUSB_ERROR_NOT_FOUND:
            return "LIBUSB_ERROR_NOT_FOUND";
        case LIBUSB_ERROR_BUSY:
            return "LIBUSB_ERROR_BUSY";
        case LIBUSB_ERROR_TIMEOUT:
            return "LIBUSB_ERROR_TIMEOUT";
        case LIBUSB_ERROR_OVERFLOW:
            return "LIBUSB_ERROR_OVERFLOW";
        case LIBUSB_ERROR_PIPE:
            return "LIBUSB_ERROR_PIPE";
        case LIBUSB_ERROR_INTERRUPTED:
            return "LIBUSB_ERROR_INTERRUPTED";
        case LIBUSB_ERROR_NO_MEM:
            return "LIBUSB_ERROR_NO_MEM";
        case LIBUSB_ERROR_NOT_SUPPORTED:
            return "LIBUSB_ERROR_NOT_SUPPORTED";
        case LIBUSB_ERROR_OTHER:
            return "LIBUSB_ERROR_OTHER";
        case LIBUSB_TRANSFER_ERROR:
            return "LIBUSB_TRANSFER_ERROR";
        case LIBUSB_TRANSFER_TIMED_OUT:
            return "LIBUSB_TRANSFER_TIMED_OUT";
        case LIBUSB_TRANSFER_CANCELLED:
            return "LIBUSB_TRANSFER_CANCELLED";
        case LIBUSB_TRANSFER_STALL:
            return "LIBUSB_TRANSFER_STALL";
        case LIBUSB_TRANSFER_NO_DEVICE:
            return "LIBUSB_TRANSFER_NO_DEVICE";
        case LIBUSB_TRANSFER_OVERFLOW:
            return "LIBUSB_TRANSFER_OVERFLOW";
        default:
            return "**UNKNOWN**";
    }
}

}  // extern "C"
