#include "stats_report.h"

#include <cinttypes>
#include <cstdio>

#include "commands.h"

namespace ovel::tool {
namespace {

const char* end_reason(std::uint32_t reason) {
    switch (reason) {
        case OVEL_CANFD_RX_END_UNPLUGGED:
            return "the adapter is gone";
        case OVEL_CANFD_RX_END_STALL_PERSISTS:
            return "the receive endpoint stalls however often it is cleared";
        case OVEL_CANFD_RX_END_ERRORS_PERSIST:
            return "receive transfers keep failing";
        default:
            return "unknown reason";
    }
}

}  // namespace

bool reception_ended(Adapter& adapter) {
    ovel_canfd_stats stats;
    return adapter.stats(stats) && stats.rx_state == OVEL_CANFD_RX_ENDED;
}

bool report_stats(Adapter& adapter) {
    ovel_canfd_stats s;
    if (!adapter.stats(s)) {
        return false;
    }
    const char* name = program_name();
    std::fprintf(stderr,
                 "%s: received %" PRIu64 " frames (%" PRIu64 " echoes), delivered %" PRIu64
                 "; adapter overflows %" PRIu64 "\n",
                 name, s.rx_frames, s.rx_echoes, s.rx_delivered, s.rx_overflow_flags);
    std::fprintf(stderr,
                 "%s: dropped %" PRIu64 " short, %" PRIu64 " bad dlc or channel, %" PRIu64
                 " overflowing, %" PRIu64 " out of memory; queue high-water %" PRIu64 "\n",
                 name, s.rx_dropped_short, s.rx_dropped_header, s.rx_dropped_overflow,
                 s.rx_dropped_no_memory, s.rx_queue_high_water);
    std::fprintf(stderr,
                 "%s: transfer errors %" PRIu64 ", refused %" PRIu64 ", stalls cleared %" PRIu64
                 ", retries %" PRIu64 "; transmitted %" PRIu64 ", failed %" PRIu64
                 ", timed out %" PRIu64 "\n",
                 name, s.rx_transfer_errors, s.rx_refusals, s.rx_halts_cleared, s.rx_retries,
                 s.tx_frames, s.tx_failures, s.tx_timeouts);
    if (s.rx_state != OVEL_CANFD_RX_ENDED) {
        return false;
    }
    std::fprintf(stderr, "%s: reception ended by itself: %s\n", name, end_reason(s.rx_end_reason));
    return true;
}

}  // namespace ovel::tool
