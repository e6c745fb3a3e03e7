// The adapter's USB timing: at which frame boundary a decided outcome reaches the host, and the
// release of those whose boundary has passed.
#include "model.h"

#include <algorithm>

namespace ovsim::detail {
namespace {

struct FrameSchedule {
    Clock::duration period;
    int packets_per_frame;
    int packet_size;
};

FrameSchedule schedule_of(LinkTiming timing) {
    if (timing == LinkTiming::HighSpeed) {
        return {std::chrono::microseconds(125), 13, 512};
    }
    return {std::chrono::milliseconds(1), 19, 64};
}

// Boundaries are whole multiples of the period on steady_clock, so frames line up across
// adapters.
Clock::time_point next_boundary(Clock::time_point time, Clock::duration period) {
    return Clock::time_point((time.time_since_epoch() / period + 1) * period);
}

Clock::time_point boundary_at_or_after(Clock::time_point time, Clock::duration period) {
    return Clock::time_point((time.time_since_epoch() + period - Clock::duration(1)) / period *
                             period);
}

// The boundary of the frame that carries the last packet of a bulk transfer of `length` bytes:
// the frame being filled if the transfer fits in what is left of it, otherwise the next ones.
Clock::time_point bulk_release(AdapterModel& adapter, const FrameSchedule& schedule, int length,
                               Clock::time_point now) {
    const Clock::time_point next = next_boundary(now, schedule.period);
    if (adapter.fill_frame < next) {
        adapter.fill_frame = next;
        adapter.fill_packets = 0;
    }
    const int budget = schedule.packets_per_frame;
    int packets =
        std::max(1, length / schedule.packet_size + (length % schedule.packet_size != 0 ? 1 : 0));
    if (adapter.fill_packets > 0 && packets > budget - adapter.fill_packets) {
        adapter.fill_frame += schedule.period;
        adapter.fill_packets = 0;
    }
    // A transfer longer than a frame's budget fills whole frames before its last one.
    const int full_frames = (packets - 1) / budget;
    adapter.fill_frame += full_frames * schedule.period;
    packets -= full_frames * budget;
    adapter.fill_packets += packets;
    return adapter.fill_frame;
}

// Keeps the schedule in release order. A transfer never goes ahead of one of its own endpoint
// (it takes that one's boundary instead), so completions keep their order per endpoint even
// across a change of timing.
void insert_in_release_order(AdapterModel& adapter, TransferState& transfer) {
    TransferState* before = adapter.scheduled.back();
    while (before != nullptr && before->release > transfer.release) {
        if (before->endpoint == transfer.endpoint) {
            transfer.release = before->release;
            break;
        }
        before = ContextList::previous(*before);
    }
    adapter.scheduled.insert_after(before, transfer);
}

}  // namespace

void schedule_completion(Sim& s, AdapterModel& adapter, TransferState& transfer,
                         libusb_transfer_status status, int length) {
    const Clock::time_point now = Clock::now();
    const Clock::time_point decided = adapter.deciding_as_of.value_or(now);
    decide_outcome(s, transfer, status, length);
    transfer.phase = TransferState::Phase::Scheduled;
    if (adapter.link_timing == LinkTiming::Immediate) {
        transfer.release = now;
    } else {
        const FrameSchedule schedule = schedule_of(adapter.link_timing);
        transfer.release = transfer.endpoint == Endpoint::Control
                               ? next_boundary(decided, schedule.period)
                               : bulk_release(adapter, schedule, length, decided);
    }
    insert_in_release_order(adapter, transfer);
    libusb_context& context = *transfer.context;
    context.changes.fetch_add(1, std::memory_order_release);  // a quiet poll must plan it
    if (transfer.release <= now) {
        adapter_release_due(adapter, now);
    } else {
        plan_wake(context, transfer.release);
    }
}

Clock::time_point adapter_earliest_release(const AdapterModel& adapter, Clock::time_point decided) {
    if (adapter.link_timing == LinkTiming::Immediate) {
        return decided;
    }
    return next_boundary(decided, schedule_of(adapter.link_timing).period);
}

std::optional<Clock::time_point> adapter_release_due(AdapterModel& adapter, Clock::time_point now) {
    while (TransferState* transfer = adapter.scheduled.front()) {
        if (transfer->release > now) {
            return transfer->release;
        }
        adapter.scheduled.remove(*transfer);
        if (transfer->stamp_release) {
            adapter_stamp_release(*transfer);
        }
        release_completion(*transfer);
    }
    return std::nullopt;
}

void adapter_set_link_timing(AdapterModel& adapter, LinkTiming timing) {
    if (timing == adapter.link_timing) {
        return;
    }
    adapter.link_timing = timing;
    if (timing != LinkTiming::Immediate) {
        // The frame being filled belongs to the former timing: the next bulk completion starts
        // a frame of the new one after it.
        const FrameSchedule schedule = schedule_of(timing);
        adapter.fill_frame = boundary_at_or_after(adapter.fill_frame, schedule.period);
        adapter.fill_packets = schedule.packets_per_frame;
    }
}

}  // namespace ovsim::detail
