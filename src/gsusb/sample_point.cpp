#include "gsusb/sample_point.h"

#include <algorithm>

namespace ovel::gsusb {
namespace {

__extension__ typedef unsigned __int128 Wide;

// Limits past anything a CAN controller has are treated as broken replies and cut down, so
// that the search stays bounded whatever an adapter reports.
constexpr std::uint32_t MAX_TSEG = 1024, MAX_BRP = 65536;

// Bitrate error tiers, as in the prescaler search: exact, within 0.1 %, within 0.5 %.
constexpr int EXACT = 0, WITHIN_TENTH = 1, WITHIN_HALF = 2;

struct Candidate {
    int tier = 0;
    std::uint64_t quanta = 0, tseg2 = 0, brp = 0;
    std::uint64_t bus_clocks = 0;    // brp * quanta * bitrate: the clock the timing stands for
    std::uint64_t clock_error = 0;   // |fclk_can - bus_clocks|
    std::uint64_t sample_error = 0;  // |1000 (quanta - tseg2) - sample_point quanta|
};

// Whether `a` is the better timing of the two.
bool better(const Candidate& a, const Candidate& b) {
    if (a.tier != b.tier) {
        return a.tier < b.tier;
    }
    // Sample point errors are sample_error / quanta permille.
    const std::uint64_t sample_a = a.sample_error * b.quanta, sample_b = b.sample_error * a.quanta;
    if (sample_a != sample_b) {
        return sample_a < sample_b;
    }
    const Wide rate_a = Wide{a.clock_error} * b.bus_clocks;
    const Wide rate_b = Wide{b.clock_error} * a.bus_clocks;
    if (rate_a != rate_b) {
        return rate_a < rate_b;
    }
    const std::uint64_t point_a = (a.quanta - a.tseg2) * b.quanta;
    const std::uint64_t point_b = (b.quanta - b.tseg2) * a.quanta;
    if (point_a != point_b) {
        return point_a < point_b;
    }
    return a.brp < b.brp;
}

}  // namespace

std::uint32_t default_sample_point(std::uint32_t bitrate) {
    if (bitrate > 800'000) {
        return 750;
    }
    if (bitrate > 500'000) {
        return 800;
    }
    return 875;
}

std::optional<BitTiming> compute_sample_point_timing(std::uint32_t fclk_can, std::uint32_t bitrate,
                                                     std::uint32_t sample_point,
                                                     const TimingLimits& limits) {
    if (fclk_can == 0 || bitrate == 0 || sample_point == 0 || sample_point >= 1000) {
        return std::nullopt;
    }
    const std::uint64_t tseg1_min = std::max<std::uint32_t>(limits.tseg1_min, 1);
    const std::uint64_t tseg1_max = std::min(limits.tseg1_max, MAX_TSEG);
    const std::uint64_t tseg2_min = std::max<std::uint32_t>(limits.tseg2_min, 1);
    const std::uint64_t tseg2_max = std::min(limits.tseg2_max, MAX_TSEG);
    const std::uint64_t brp_inc = std::max<std::uint32_t>(limits.brp_inc, 1);
    const std::uint64_t brp_max = std::min(limits.brp_max, MAX_BRP);
    if (tseg1_min > tseg1_max || tseg2_min > tseg2_max) {
        return std::nullopt;
    }
    const std::uint64_t quanta_min = 1 + tseg1_min + tseg2_min;
    const std::uint64_t quanta_max = 1 + tseg1_max + tseg2_max;
    const std::uint64_t clock = fclk_can;

    // The prescaler steps by brp_inc, as the adapter can only take its multiples.
    std::uint64_t brp =
        (std::max<std::uint32_t>(limits.brp_min, 1) + brp_inc - 1) / brp_inc * brp_inc;
    std::optional<Candidate> best;
    for (; brp <= brp_max; brp += brp_inc) {
        const std::uint64_t per_quantum = std::uint64_t{bitrate} * brp;
        // Quanta counts whose bitrate lies within 0.5 %: 199 q d <= 200 f <= 201 q d.
        const std::uint64_t low = (200 * clock + 201 * per_quantum - 1) / (201 * per_quantum);
        const std::uint64_t high = 200 * clock / (199 * per_quantum);
        if (high < quanta_min) {
            break;  // larger prescalers only need fewer quanta
        }
        for (std::uint64_t quanta = std::max(low, quanta_min); quanta <= std::min(high, quanta_max);
             ++quanta) {
            Candidate candidate;
            candidate.quanta = quanta;
            candidate.brp = brp;
            candidate.bus_clocks = per_quantum * quanta;
            candidate.clock_error = clock > candidate.bus_clocks ? clock - candidate.bus_clocks
                                                                 : candidate.bus_clocks - clock;
            if (candidate.clock_error * 200 > candidate.bus_clocks) {
                continue;
            }
            candidate.tier = candidate.clock_error == 0                             ? EXACT
                             : candidate.clock_error * 1000 <= candidate.bus_clocks ? WITHIN_TENTH
                                                                                    : WITHIN_HALF;
            // tseg1 = quanta - 1 - tseg2 must stay within its limits too.
            const std::uint64_t tseg2_low =
                std::max(tseg2_min, quanta - 1 > tseg1_max ? quanta - 1 - tseg1_max : 0);
            if (quanta - 1 < tseg1_min) {
                continue;
            }
            const std::uint64_t tseg2_high = std::min(tseg2_max, quanta - 1 - tseg1_min);
            if (tseg2_low > tseg2_high) {
                continue;
            }
            // The two tseg2 values around the ideal one, within the limits.
            const std::uint64_t ideal = quanta * (1000 - sample_point) / 1000;
            for (const std::uint64_t wanted : {ideal, ideal + 1}) {
                candidate.tseg2 = std::clamp(wanted, tseg2_low, tseg2_high);
                const std::uint64_t reached = 1000 * (quanta - candidate.tseg2);
                const std::uint64_t asked = std::uint64_t{sample_point} * quanta;
                candidate.sample_error = reached > asked ? reached - asked : asked - reached;
                if (!best || better(candidate, *best)) {
                    best = candidate;
                }
            }
        }
    }
    if (!best) {
        return std::nullopt;
    }
    const auto tseg2 = static_cast<std::uint32_t>(best->tseg2);
    const auto tseg1 = static_cast<std::uint32_t>(best->quanta - 1 - best->tseg2);
    const std::uint32_t prop_seg = tseg1 / 2;
    const std::uint32_t phase_seg1 = tseg1 - prop_seg;
    const std::uint32_t sjw =
        std::max<std::uint32_t>(1, std::min({limits.sjw_max, phase_seg1, tseg2}));
    return BitTiming{.prop_seg = prop_seg,
                     .phase_seg1 = phase_seg1,
                     .phase_seg2 = tseg2,
                     .sjw = sjw,
                     .brp = static_cast<std::uint32_t>(best->brp)};
}

TimingResult timing_result(std::uint32_t fclk_can, const BitTiming& timing) {
    const std::uint64_t quanta =
        std::uint64_t{1} + timing.prop_seg + timing.phase_seg1 + timing.phase_seg2;
    const std::uint64_t clocks_per_bit = quanta * timing.brp;
    if (fclk_can == 0 || clocks_per_bit == 0) {
        return {};
    }
    const std::uint64_t before_sample = quanta - timing.phase_seg2;
    return {
        static_cast<std::uint32_t>((std::uint64_t{fclk_can} + clocks_per_bit / 2) / clocks_per_bit),
        static_cast<std::uint32_t>((1000 * before_sample + quanta / 2) / quanta)};
}

}  // namespace ovel::gsusb
