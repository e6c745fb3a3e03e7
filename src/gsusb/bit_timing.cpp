#include "gsusb/bit_timing.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace ovel::gsusb {
namespace {

constexpr std::uint32_t MIN_PRESCALER = 1, MAX_PRESCALER = 1024;
constexpr std::uint32_t MIN_QUANTA = 4, MAX_QUANTA = 32;
constexpr std::uint32_t MAX_PHASE_SEG1 = 15, MIN_PHASE_SEG2 = 1, MAX_PHASE_SEG2 = 8;

// Allowed |deviation| of the ideal quanta count from the rounded one, in units of 0.01 %,
// for each pass in order.
constexpr std::array<float, 3> PASS_TOLERANCES = {0.0f, 10.0f, 50.0f};

// A plain cast is undefined for NaN and out-of-range values, which a bitrate or clock of 0
// produces; saturate instead.
std::uint32_t saturating_u32(float value) {
    if (!(value > 0.0f)) {
        return 0;
    }
    if (value >= 4294967296.0f) {
        return UINT32_MAX;
    }
    return static_cast<std::uint32_t>(value);
}

// The split phase_seg1 + phase_seg2 = quanta - 1 with the smallest phase_seg1, or nullopt when
// the quanta count cannot be split within the segment limits.
std::optional<BitTiming> split_segments(std::uint32_t quanta, std::uint32_t prescaler) {
    const std::uint32_t phase_seg1_end = std::min(quanta, MAX_PHASE_SEG1 + 1);
    for (std::uint32_t phase_seg1 = 1; phase_seg1 < phase_seg1_end; ++phase_seg1) {
        const std::uint32_t phase_seg2 = quanta - 1 - phase_seg1;
        if (phase_seg2 >= MIN_PHASE_SEG2 && phase_seg2 <= MAX_PHASE_SEG2) {
            return BitTiming{.prop_seg = 0,
                             .phase_seg1 = phase_seg1,
                             .phase_seg2 = phase_seg2,
                             .sjw = 1,
                             .brp = prescaler};
        }
    }
    return std::nullopt;
}

}  // namespace

// Every step is a separate single-precision assignment so that each result is rounded to
// float, as the adapter-facing results depend on it; the chain holds no multiply-add for the
// compiler to fuse.
std::optional<BitTiming> compute_bit_timing(std::uint32_t fclk_can, std::uint32_t bitrate) {
    const float clock = static_cast<float>(fclk_can);
    const float rate = static_cast<float>(bitrate);
    const float clocks_per_bit = clock / rate;

    for (const float tolerance : PASS_TOLERANCES) {
        for (std::uint32_t prescaler = MIN_PRESCALER; prescaler <= MAX_PRESCALER; ++prescaler) {
            const float ideal_quanta = clocks_per_bit / static_cast<float>(prescaler);
            const float rounded_quanta = std::roundf(ideal_quanta);
            const std::uint32_t quanta = saturating_u32(rounded_quanta);
            if (quanta < MIN_QUANTA || quanta > MAX_QUANTA) {
                continue;
            }
            const float ratio = ideal_quanta / static_cast<float>(quanta);
            const float relative_deviation = ratio - 1.0f;
            const float scaled_deviation = relative_deviation * 10000.0f;
            const float deviation = std::roundf(scaled_deviation);
            if (deviation < -tolerance || deviation > tolerance) {
                continue;
            }
            if (auto timing = split_segments(quanta, prescaler)) {
                return timing;
            }
        }
    }
    return std::nullopt;
}

const char* timing_outside_limits(const BitTiming& timing, const TimingLimits& limits) {
    const std::uint32_t brp_inc = std::max<std::uint32_t>(limits.brp_inc, 1);
    if (timing.brp == 0 || timing.brp < limits.brp_min || timing.brp > limits.brp_max ||
        timing.brp % brp_inc != 0) {
        return "brp";
    }
    // Summed in 64 bits: two segments near the 32-bit limit must not wrap into range.
    const std::uint64_t tseg1 = std::uint64_t{timing.prop_seg} + timing.phase_seg1;
    if (timing.phase_seg1 == 0 || tseg1 < limits.tseg1_min || tseg1 > limits.tseg1_max) {
        return "tseg1";
    }
    if (timing.phase_seg2 == 0 || timing.phase_seg2 < limits.tseg2_min ||
        timing.phase_seg2 > limits.tseg2_max) {
        return "phase_seg2";
    }
    if (timing.sjw == 0 || timing.sjw > limits.sjw_max || timing.sjw > timing.phase_seg1 ||
        timing.sjw > timing.phase_seg2) {
        return "sjw";
    }
    return nullptr;
}

}  // namespace ovel::gsusb
