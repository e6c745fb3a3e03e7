#include "gsusb/host_frame.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <numeric>
#include <span>
#include <vector>

namespace ovel::gsusb {
namespace {

using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

// Encodes into a buffer pre-filled with a marker, so bytes the encoder must not touch show.
struct Encoded {
    std::array<std::uint8_t, HOST_FRAME_LONG_SIZE> bytes;
    std::size_t length;

    std::span<const std::uint8_t> wire() const { return std::span(bytes).first(length); }
};

constexpr std::uint8_t UNTOUCHED = 0xA5;

Encoded encode(const HostFrame& frame) {
    Encoded out{};
    out.bytes.fill(UNTOUCHED);
    out.length = encode_host_frame(frame, out.bytes);
    return out;
}

CanFrame classic_frame() {
    CanFrame frame;
    frame.id = 0x123;
    frame.dlc = 8;
    frame.data = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
    return frame;
}

TEST(HostFrameTransmitTest, ClassicFrameEncodesToTwentyBytes) {
    const Encoded out = encode(host_frame_for_transmit(classic_frame()));
    EXPECT_THAT(out.wire(),
                ElementsAre(0x01, 0x00, 0x00, 0x00, 0x23, 0x01, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00,
                            0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88));
    EXPECT_THAT(std::span(out.bytes).subspan(HOST_FRAME_SHORT_SIZE), Each(UNTOUCHED));
}

TEST(HostFrameTransmitTest, ShortFormSendsOnlyTheFirstEightDataBytes) {
    CanFrame frame = classic_frame();
    frame.data.assign(64, 0xCC);
    frame.channel = 3;
    const HostFrame host = host_frame_for_transmit(frame);
    ASSERT_THAT(host.data, Each(0xCC));

    const Encoded out = encode(host);
    ASSERT_EQ(out.length, HOST_FRAME_SHORT_SIZE);
    EXPECT_EQ(out.bytes[9], 3);
    EXPECT_THAT(std::span(out.bytes).subspan(12, 8), Each(0xCC));
    EXPECT_THAT(std::span(out.bytes).subspan(HOST_FRAME_SHORT_SIZE), Each(UNTOUCHED));
}

TEST(HostFrameTransmitTest, IdentifierFlagBitsAreOredIntoCanId) {
    CanFrame frame = classic_frame();
    frame.extended = true;
    frame.id = 0x1ABCDEF0;
    const Encoded extended = encode(host_frame_for_transmit(frame));
    EXPECT_THAT(extended.wire().subspan(4, 4), ElementsAre(0xF0, 0xDE, 0xBC, 0x9A));

    frame.id = 0x7FF;
    frame.extended = false;
    frame.rtr = true;
    EXPECT_EQ(host_frame_for_transmit(frame).can_id, 0x400007FFu);
    frame.rtr = false;
    frame.err = true;
    EXPECT_EQ(host_frame_for_transmit(frame).can_id, 0x200007FFu);
    frame.extended = frame.rtr = frame.err = true;
    EXPECT_EQ(host_frame_for_transmit(frame).can_id, 0xE00007FFu);
}

TEST(HostFrameTransmitTest, OutOfRangeIdentifierIsPassedUnmasked) {
    CanFrame frame = classic_frame();
    frame.id = 0x20000123;
    EXPECT_EQ(host_frame_for_transmit(frame).can_id, 0x20000123u);
    frame.id = 0xFFFFFFFF;
    EXPECT_EQ(host_frame_for_transmit(frame).can_id, 0xFFFFFFFFu);
}

TEST(HostFrameTransmitTest, FdFramesUseTheLongFormWithTheirFlags) {
    CanFrame frame;
    frame.id = 0x100;
    frame.fd = true;
    frame.brs = true;
    frame.dlc = 15;
    frame.data.resize(64);
    std::iota(frame.data.begin(), frame.data.end(), std::uint8_t{1});

    const Encoded brs = encode(host_frame_for_transmit(frame));
    ASSERT_EQ(brs.length, HOST_FRAME_LONG_SIZE);
    EXPECT_EQ(brs.bytes[8], 15);
    EXPECT_EQ(brs.bytes[10], 0x06);
    EXPECT_EQ(brs.bytes[11], 0x00);
    EXPECT_THAT(std::span(brs.bytes).subspan(12), ElementsAreArray(frame.data));

    frame.esi = true;
    EXPECT_EQ(encode(host_frame_for_transmit(frame)).bytes[10], 0x0E);

    // The form follows the FD bit and the DLC only.
    frame.dlc = 0;
    EXPECT_EQ(encode(host_frame_for_transmit(frame)).length, HOST_FRAME_LONG_SIZE);
}

TEST(HostFrameTransmitTest, ClassicDlcAboveEightUsesTheLongFormWithoutFlags) {
    CanFrame frame = classic_frame();
    frame.dlc = 9;
    const Encoded out = encode(host_frame_for_transmit(frame));
    ASSERT_EQ(out.length, HOST_FRAME_LONG_SIZE);
    EXPECT_EQ(out.bytes[8], 9);
    EXPECT_EQ(out.bytes[10], 0x00);
}

TEST(HostFrameTransmitTest, PayloadIsZeroPaddedOrCutToSixtyFourBytes) {
    CanFrame frame = classic_frame();
    frame.data = {0xAA, 0xBB, 0xCC};
    const HostFrame short_payload = host_frame_for_transmit(frame);
    EXPECT_THAT(std::span(short_payload.data).first(3), ElementsAre(0xAA, 0xBB, 0xCC));
    EXPECT_THAT(std::span(short_payload.data).subspan(3), Each(0));

    frame.data.resize(100);
    std::iota(frame.data.begin(), frame.data.end(), std::uint8_t{0});
    const HostFrame long_payload = host_frame_for_transmit(frame);
    EXPECT_THAT(long_payload.data, ElementsAreArray(frame.data.data(), 64));

    frame.data.clear();
    EXPECT_THAT(host_frame_for_transmit(frame).data, Each(0));
}

TEST(HostFrameTransmitTest, HeaderFieldsAndTimestampCarriedButTimestampNeverSent) {
    CanFrame frame = classic_frame();
    frame.fd = true;
    frame.dlc = 13;
    frame.channel = 255;
    frame.device_timestamp = 0xDEADBEEF;
    frame.echo = true;  // not used on transmit
    const HostFrame host = host_frame_for_transmit(frame);
    EXPECT_EQ(host.echo_id, ECHO_ID_TX);
    EXPECT_EQ(host.dlc, 13);
    EXPECT_EQ(host.channel, 255);
    EXPECT_EQ(host.flags, FLAG_FD);
    EXPECT_EQ(host.reserved, 0);
    EXPECT_EQ(host.timestamp, 0xDEADBEEFu);

    // The long form ends with the last data byte; the reserved byte goes out as recorded.
    HostFrame with_reserved = host;
    with_reserved.reserved = 0x5A;
    const Encoded out = encode(with_reserved);
    EXPECT_EQ(out.length, HOST_FRAME_LONG_SIZE);
    EXPECT_EQ(out.bytes[11], 0x5A);
    EXPECT_THAT(std::span(out.bytes).subspan(12), ElementsAreArray(host.data));
}

TEST(HostFrameReceiveTest, DecodesEveryFieldLittleEndian) {
    std::array<std::uint8_t, HOST_FRAME_SIZE> buffer{};
    const std::array<std::uint8_t, 12> header = {0x78, 0x56, 0x34, 0x12, 0x23, 0x01,
                                                 0x00, 0xE0, 0x0F, 0x02, 0xFF, 0x77};
    std::copy(header.begin(), header.end(), buffer.begin());
    std::iota(buffer.begin() + 12, buffer.begin() + 76, std::uint8_t{0x40});
    buffer[76] = 0x04;
    buffer[77] = 0x03;
    buffer[78] = 0x02;
    buffer[79] = 0x01;

    const HostFrame frame = decode_host_frame(buffer);
    EXPECT_EQ(frame.echo_id, 0x12345678u);
    EXPECT_EQ(frame.can_id, 0xE0000123u);
    EXPECT_EQ(frame.can_id & CAN_ID_MASK, 0x123u);
    EXPECT_EQ(frame.can_id & (CAN_EFF_FLAG | CAN_RTR_FLAG | CAN_ERR_FLAG), 0xE0000000u);
    EXPECT_EQ(frame.dlc, 0x0F);
    EXPECT_EQ(frame.channel, 0x02);
    EXPECT_EQ(frame.flags, 0xFF);
    EXPECT_EQ(frame.reserved, 0x77);
    EXPECT_THAT(frame.data, ElementsAreArray(buffer.begin() + 12, buffer.begin() + 76));
    EXPECT_EQ(frame.timestamp, 0x01020304u);
}

TEST(HostFrameReceiveTest, EncodedFrameDecodesBackToTheSameHeaderAndData) {
    CanFrame frame = classic_frame();
    frame.extended = true;
    frame.id = 0x1FFFFFFF;
    frame.fd = frame.brs = frame.esi = true;
    frame.dlc = 15;
    frame.channel = 1;
    frame.data.assign(64, 0x3C);
    const HostFrame sent = host_frame_for_transmit(frame);

    std::array<std::uint8_t, HOST_FRAME_SIZE> buffer{};
    const std::size_t length =
        encode_host_frame(sent, std::span(buffer).first<HOST_FRAME_LONG_SIZE>());
    ASSERT_EQ(length, HOST_FRAME_LONG_SIZE);
    const HostFrame received = decode_host_frame(buffer);
    EXPECT_EQ(received.echo_id, ECHO_ID_TX);
    EXPECT_EQ(received.can_id, sent.can_id);
    EXPECT_EQ(received.dlc, sent.dlc);
    EXPECT_EQ(received.channel, sent.channel);
    EXPECT_EQ(received.flags, FLAG_FD | FLAG_BRS | FLAG_ESI);
    EXPECT_EQ(received.data, sent.data);
    EXPECT_EQ(received.timestamp, 0u);
}

}  // namespace
}  // namespace ovel::gsusb
