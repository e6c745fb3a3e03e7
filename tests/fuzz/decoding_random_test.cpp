// The decoding invariants over seeded random inputs, in every build (sanitizers included); the
// libFuzzer target explores the same checks when clang is installed.
#include <cstdint>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "decoding_checks.h"

namespace ovel::fuzz {
namespace {

TEST(Decoding, AnyBytesDecodeMapAndRoundTripWithinBounds) {
    std::vector<std::vector<std::uint8_t>> inputs;
    for (std::size_t length : {0, 1, 11, 12, 19, 20, 21, 75, 76, 77, 79, 80, 81, 200}) {
        inputs.emplace_back(length, 0x00);
        inputs.emplace_back(length, 0xFF);
    }
    std::mt19937 random(20261207);
    for (int i = 0; i < 100'000; ++i) {
        std::vector<std::uint8_t> bytes(random() % 100);
        for (auto& b : bytes) {
            b = static_cast<std::uint8_t>(random());
        }
        // Half of them within the range the driver sends, so that the round trips are exercised.
        if (i % 2 == 0 && bytes.size() >= 80) {
            bytes[5] = static_cast<std::uint8_t>(bytes[5] & (i % 4 == 0 ? 0x07 : 0x00));
            bytes[6] = bytes[7] = 0;
            bytes[8] %= 16;
            for (std::size_t offset = 73; offset < 80; ++offset) {
                bytes[offset] = static_cast<std::uint8_t>(random() % 3 == 0 ? random() : random() % 2);
            }
        }
        inputs.push_back(std::move(bytes));
    }
    for (const auto& input : inputs) {
        const std::string problem = decoding_problem(input.data(), input.size());
        ASSERT_EQ(problem, "") << "input of " << input.size() << " bytes";
    }
}

}  // namespace
}  // namespace ovel::fuzz
