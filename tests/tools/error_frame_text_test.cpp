// Error frames as candump -e style text.
#include "error_frame_text.h"

#include <gtest/gtest.h>

#include <initializer_list>

namespace ovel::tool {
namespace {

ovel_canfd_frame error_frame(std::uint32_t classes, std::initializer_list<int> data) {
    ovel_canfd_frame frame{};
    frame.err = true;
    frame.id = classes;
    frame.dlc = 8;
    int i = 0;
    for (int byte : data) {
        frame.data[i++] = static_cast<std::uint8_t>(byte);
    }
    return frame;
}

TEST(ErrorFrameText, NamesEveryClassWithItsDetails) {
    EXPECT_EQ(describe_error_frame(error_frame(0x204, {0, 0x28, 0, 0, 0, 0, 130, 97})),
              "controller-problem{tx-error-warning,tx-error-passive},"
              "error-counter-tx-rx{{130}{97}}");
    EXPECT_EQ(describe_error_frame(error_frame(0x004, {0, 0x01})),
              "controller-problem{rx-overflow}");
    EXPECT_EQ(describe_error_frame(error_frame(0x040, {}), "\n\t"), "bus-off");
    EXPECT_EQ(describe_error_frame(error_frame(0x100, {0, 0x40}), " "), "restarted-after-bus-off");
    EXPECT_EQ(describe_error_frame(error_frame(0x088, {0, 0, 0x04, 0x0A})),
              "protocol-violation{{bit-stuffing-error}{data-field}},bus-error");
    EXPECT_EQ(describe_error_frame(error_frame(0x022, {5})),
              "lost-arbitration{at bit 5},no-acknowledgement-on-tx");
    // Unknown class bits are shown, not hidden; details past the DLC are not read.
    ovel_canfd_frame short_frame = error_frame(0x4004, {0, 0x10});
    short_frame.dlc = 1;
    EXPECT_EQ(describe_error_frame(short_frame), "controller-problem,error-class-0x4000");
    // Not an error frame.
    ovel_canfd_frame data_frame = error_frame(0x204, {});
    data_frame.err = false;
    EXPECT_EQ(describe_error_frame(data_frame), "");
}

}  // namespace
}  // namespace ovel::tool
