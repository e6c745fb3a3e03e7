// The cansend syntax parser, its inverse and the dump line; candump log lines, timestamp modes
// and filters.
#include "frame_syntax.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "log_format.h"
#include "receive_filter.h"
#include "time_stamp.h"
#include "platform/local_time.h"

#include <cstring>
#include <vector>

namespace ovel::tool {
namespace {

ovel_canfd_frame parsed(const char* text) {
    const ParsedFrame result = parse_frame(text, 1);
    EXPECT_TRUE(result.frame.has_value()) << text << ": " << result.error;
    return result.frame.value_or(ovel_canfd_frame{});
}

std::string refusal(const char* text) {
    const ParsedFrame result = parse_frame(text, 0);
    EXPECT_FALSE(result.frame.has_value()) << text;
    return result.error;
}

bool same_frame(const ovel_canfd_frame& a, const ovel_canfd_frame& b) {
    return a.channel == b.channel && a.id == b.id && a.dlc == b.dlc && a.extended == b.extended &&
           a.fd == b.fd && a.brs == b.brs && a.esi == b.esi && a.rtr == b.rtr && a.err == b.err &&
           std::memcmp(a.data, b.data, payload_length(a)) == 0;
}

TEST(FdLengthTable, MapsEveryDlcAndRoundsLengthsUp) {
    const std::vector<std::size_t> lengths = {0, 1,  2,  3,  4,  5,  6,  7,
                                              8, 12, 16, 20, 24, 32, 48, 64};
    for (std::uint8_t dlc = 0; dlc < 16; ++dlc) {
        EXPECT_EQ(fd_dlc_to_length(dlc), lengths[dlc]);
        EXPECT_EQ(fd_length_to_dlc(lengths[dlc]), dlc);
    }
    EXPECT_EQ(fd_length_to_dlc(9), 9);
    EXPECT_EQ(fd_length_to_dlc(33), 14);
    EXPECT_EQ(fd_length_to_dlc(49), 15);
}

TEST(ParseFrame, ClassicStandardAndExtended) {
    const ovel_canfd_frame standard = parsed("123#DEADBEEF");
    EXPECT_EQ(standard.channel, 1);
    EXPECT_EQ(standard.id, 0x123u);
    EXPECT_FALSE(standard.extended);
    EXPECT_FALSE(standard.fd);
    ASSERT_EQ(standard.dlc, 4);
    EXPECT_EQ(standard.data[0], 0xDE);
    EXPECT_EQ(standard.data[3], 0xEF);

    const ovel_canfd_frame extended = parsed("1abcdef0#11.22.33");
    EXPECT_EQ(extended.id, 0x1ABCDEF0u);
    EXPECT_TRUE(extended.extended);
    ASSERT_EQ(extended.dlc, 3);
    EXPECT_EQ(extended.data[2], 0x33);

    EXPECT_EQ(parsed("7FF#").dlc, 0);
    EXPECT_EQ(parsed("000#0102030405060708_F").dlc, 15);
}

TEST(ParseFrame, RemoteRequests) {
    const ovel_canfd_frame bare = parsed("12345678#R");
    EXPECT_TRUE(bare.rtr);
    EXPECT_TRUE(bare.extended);
    EXPECT_EQ(bare.dlc, 0);
    EXPECT_EQ(parsed("123#R5").dlc, 5);
    EXPECT_EQ(parsed("123#R8_C").dlc, 12);
}

TEST(ParseFrame, FdFlagsAndDlcFromLength) {
    const ovel_canfd_frame brs = parsed("123##1AABBCC");
    EXPECT_TRUE(brs.fd);
    EXPECT_TRUE(brs.brs);
    EXPECT_FALSE(brs.esi);
    EXPECT_EQ(brs.dlc, 3);
    EXPECT_EQ(brs.data[2], 0xCC);

    const ovel_canfd_frame esi = parsed("123##2");
    EXPECT_TRUE(esi.esi);
    EXPECT_FALSE(esi.brs);
    EXPECT_EQ(esi.dlc, 0);

    // 10 bytes need DLC 9 (12 bytes); the two bytes beyond the text are zero.
    const ovel_canfd_frame padded = parsed("123##0FFFFFFFFFFFFFFFFFFFF");
    EXPECT_EQ(padded.dlc, 9);
    EXPECT_EQ(padded.data[9], 0xFF);
    EXPECT_EQ(padded.data[10], 0);
    EXPECT_EQ(padded.data[11], 0);

    EXPECT_EQ(parsed(("123##0" + std::string(128, 'A')).c_str()).dlc, 15);
}

TEST(ParseFrame, ErrorFrameFlagInIdentifier) {
    const ovel_canfd_frame error = parsed("20000080#0000000000000000");
    EXPECT_TRUE(error.err);
    EXPECT_FALSE(error.extended);
    EXPECT_EQ(error.id, 0x80u);
}

TEST(ParseFrame, MalformedInputsAreRefusedWithAReason) {
    EXPECT_EQ(refusal("123DEADBEEF"), "missing '#' between identifier and data");
    EXPECT_EQ(refusal("12#00"), "the identifier must be 3 hex digits (standard) or 8 (extended)");
    EXPECT_EQ(refusal("12G#00"), "invalid character 'G' in identifier");
    EXPECT_EQ(refusal("800#00"), "standard identifier 800 is above 7FF");
    EXPECT_EQ(refusal("80000000#00"), "extended identifier 80000000 is above 1FFFFFFF");
    EXPECT_EQ(refusal("123#ABC"), "odd number of hex digits in data");
    EXPECT_EQ(refusal("123#A.B"), "a '.' splits a data byte");
    EXPECT_EQ(refusal("123#zz"), "invalid character 'z' in data");
    EXPECT_EQ(refusal("123#00 11"), "invalid character ' ' in data");
    EXPECT_EQ(refusal("123#001122334455667788"), "more than 8 data bytes (classic CAN)");
    EXPECT_EQ(refusal(("123##0" + std::string(130, '0')).c_str()),
              "more than 64 data bytes (CAN FD)");
    EXPECT_EQ(refusal("123##"), "'##' must be followed by a flags hex digit (1 BRS, 2 ESI)");
    EXPECT_EQ(refusal("123##R"), "'##' must be followed by a flags hex digit (1 BRS, 2 ESI)");
    EXPECT_EQ(refusal("123#R9"), "a remote request takes a length 0 to 8 and nothing else");
    EXPECT_EQ(refusal("123#R8_5"), "a DLC suffix must be '_' and one hex digit 9 to F");
    EXPECT_EQ(refusal("123#0011_9"), "a DLC suffix needs exactly 8 data bytes");
    EXPECT_EQ(refusal("20000080##0"), "an error frame cannot be a CAN FD frame");
    EXPECT_EQ(refusal(std::string("12\x01#00", 6).c_str()), "invalid character 0x01 in identifier");
    EXPECT_EQ(refusal(""), "missing '#' between identifier and data");
}

TEST(FormatCompact, RoundTripsThroughTheParser) {
    const char* texts[] = {"123#DEADBEEF",
                           "1ABCDEF0#",
                           "7FF#0102030405060708_D",
                           "123#R",
                           "00000001#R3",
                           "123#R8_F",
                           "123##0",
                           "123##1AABBCC",
                           "1FFFFFFF##311223344556677889900AABB",
                           "20000004#0000080000000000"};
    for (const char* text : texts) {
        const ovel_canfd_frame frame = parsed(text);
        EXPECT_EQ(format_compact(frame), text);
        EXPECT_TRUE(same_frame(parsed(format_compact(frame).c_str()), frame)) << text;
    }
    // Every DLC of every kind comes back unchanged.
    for (std::uint8_t dlc = 0; dlc < 16; ++dlc) {
        for (const bool fd : {false, true}) {
            ovel_canfd_frame frame{};
            frame.channel = 1;
            frame.id = 0x5A5;
            frame.dlc = dlc;
            frame.fd = fd;
            for (std::size_t i = 0; i < 64; ++i) {
                frame.data[i] = static_cast<std::uint8_t>(i * 7 + dlc);
            }
            EXPECT_TRUE(same_frame(parsed(format_compact(frame).c_str()), frame))
                << format_compact(frame);
        }
    }
}

TEST(FormatLogLine, MarksDirectionFdFlagsRemoteAndErrors) {
    const timespec when{1700000000, 123456789};
    ovel_canfd_frame frame = parsed("123#DEADBEEF");
    EXPECT_EQ(format_log_line(frame, when),
              "(1700000000.123456)  can1  RX - - -  123        [4]  DE AD BE EF");
    frame = parsed(
        "1ABCDEF0##3"
        "000102030405060708090A0B");
    frame.echo = true;
    EXPECT_EQ(
        format_log_line(frame, when),
        "(1700000000.123456)  can1  TX F B E  1ABCDEF0  [12]  00 01 02 03 04 05 06 07 08 09 0A 0B");
    EXPECT_EQ(format_log_line(parsed("123#R2"), when),
              "(1700000000.123456)  can1  RX - - -  123        [2]  remote request");
    EXPECT_EQ(format_log_line(parsed("123#1122334455667788_E"), when),
              "(1700000000.123456)  can1  RX - - -  123       [8:14]  11 22 33 44 55 66 77 88");
    EXPECT_EQ(
        format_log_line(parsed("20000004#0000080000000000"), when),
        "(1700000000.123456)  can1  RX - - -  20000004   [8]  00 00 08 00 00 00 00 00  ERRORFRAME");
}

TEST(CandumpLog, WritesAndReadsLinesAsCandumpAndPythonCan) {
    const ovel_canfd_frame frame = parsed("00000123#R5");
    EXPECT_EQ(format_candump_log_line(frame, {12, 3000}), "(0000000012.000003) can1 00000123#R5");
    const ParsedLogLine line = parse_log_line("(1700000000.5) vcan0  1ABCDEF0##2AA T\r\n");
    ASSERT_EQ(line.kind, ParsedLogLine::Kind::Frame) << line.error;
    EXPECT_EQ(line.record.time.tv_sec, 1700000000);
    EXPECT_EQ(line.record.time.tv_nsec, 500000000);
    EXPECT_EQ(line.record.interface, "vcan0");
    EXPECT_EQ(format_compact(line.record.frame), "1ABCDEF0##2AA");

    EXPECT_EQ(parse_log_line("").kind, ParsedLogLine::Kind::Skip);
    EXPECT_EQ(parse_log_line("# comment").kind, ParsedLogLine::Kind::Skip);
    EXPECT_EQ(parse_log_line("(1.0) can0").error,
              "expected \"(SECONDS.MICROSECONDS) INTERFACE FRAME\"");
    EXPECT_EQ(parse_log_line("(1.x) can0 123#").error, "bad time \"(1.x)\"");
    EXPECT_EQ(parse_log_line("(1.0) can0 123#00 X").error, "unexpected text after the frame");
    EXPECT_EQ(parse_log_line("(1.0) can0 800#00").error,
              "bad frame \"800#00\": standard identifier 800 is above 7FF");

    EXPECT_EQ(channel_of_interface("can12"), 12);
    EXPECT_EQ(channel_of_interface("3"), 3);
    EXPECT_EQ(channel_of_interface("vcan0"), std::nullopt);
    EXPECT_EQ(channel_of_interface("can256"), std::nullopt);
}

TEST(TimeStamper, PrintsCandumpsModes) {
    ovel::platform::set_time_zone("UTC");
    const timespec first{1700000000, 900000000}, second{1700000002, 100000000};
    TimeStamper absolute(TimeMode::Absolute), date(TimeMode::AbsoluteDate);
    TimeStamper delta(TimeMode::Delta), zero(TimeMode::Zero);
    EXPECT_EQ(absolute.stamp(first), "(1700000000.900000)");
    EXPECT_EQ(date.stamp(first), "(2023-11-14 22:13:20.900000)");
    EXPECT_EQ(delta.stamp(first), "(000.000000)");
    EXPECT_EQ(delta.stamp(second), "(001.200000)");
    EXPECT_EQ(delta.stamp(second), "(000.000000)");
    EXPECT_EQ(zero.stamp(first), "(000.000000)");
    EXPECT_EQ(zero.stamp(second), "(001.200000)");
    EXPECT_EQ(zero.stamp({1700000003, 0}), "(002.100000)");
    EXPECT_EQ(zero.stamp({1600000000, 0}), "(000.000000)");  // clock stepped back
    EXPECT_EQ(parse_time_mode("A"), TimeMode::AbsoluteDate);
    EXPECT_EQ(parse_time_mode("x"), std::nullopt);
}

TEST(ChannelFilter, MatchesAsSocketCanRawFilters) {
    const auto pass = [](const char* filter_text, const char* frame_text) {
        std::string error;
        const auto filter = parse_channel_filter(filter_text, error);
        EXPECT_TRUE(filter.has_value()) << filter_text << ": " << error;
        return filter && passes(*filter, parsed(frame_text));  // frames on channel 1
    };
    EXPECT_TRUE(pass("can1", "20000004#00"));
    EXPECT_FALSE(pass("0", "123#00"));
    EXPECT_TRUE(pass("any,123:7FF", "123#00"));
    EXPECT_TRUE(pass("1,123:7FF", "00000123#00"));  // the mask leaves out the extended flag
    EXPECT_FALSE(pass("1,123:C00007FF", "00000123#00"));
    EXPECT_TRUE(pass("1,00000123:C00007FF", "00000123#00"));
    EXPECT_FALSE(pass("1,123:C00007FF", "123#R"));
    EXPECT_TRUE(pass("1,123~7FF", "124#00"));
    EXPECT_FALSE(pass("1,123~7FF", "123#00"));
    EXPECT_TRUE(pass("1,100:700,200:700", "234#00"));
    EXPECT_FALSE(pass("1,100:700,j,200:700", "234#00"));
    EXPECT_TRUE(pass("1,100:F00,j,0F0:0F0", "1F0#00"));
    EXPECT_FALSE(pass("1,123:7FF", "20000004#00"));
    EXPECT_TRUE(pass("1,123:7FF,#4", "20000004#00"));
    EXPECT_FALSE(pass("1,#FFFFFFFB", "20000004#00"));
    EXPECT_TRUE(pass("1,#4", "456#00"));

    std::string error;
    EXPECT_FALSE(parse_channel_filter("can1,123", error));
    EXPECT_NE(error.find("bad filter \"123\""), std::string::npos) << error;
    EXPECT_FALSE(parse_channel_filter("1,#G", error));
    EXPECT_NE(error.find("bad error mask"), std::string::npos) << error;
    EXPECT_FALSE(parse_channel_filter("vcan0", error));
    EXPECT_NE(error.find("a channel must be 0-255 or can0-can255"), std::string::npos) << error;
}

}  // namespace
}  // namespace ovel::tool
