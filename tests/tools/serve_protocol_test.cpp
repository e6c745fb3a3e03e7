// The socketcand text of `serve`: send commands as socketcand and python-can write them, the
// received-frame messages, and the command splitter's limits.
#include "protocol.h"

#include <gtest/gtest.h>

#include <string>

namespace ovel::tool::serve {
namespace {

std::optional<ovel_canfd_frame> send(const std::string& command, bool fd = false) {
    const std::vector<std::string_view> words = command_words(command);
    std::string error;
    return parse_send({words.begin() + 1, words.end()}, fd, 1, error);
}

TEST(ServeProtocol, SendReadsSocketcandAndPythonCanLengths) {
    // socketcand's example: decimal length, unpadded lowercase bytes.
    auto frame = send("< send 1AAAAAAA 2 1 f1 >");
    ASSERT_TRUE(frame);
    EXPECT_TRUE(frame->extended);
    EXPECT_EQ(frame->id, 0x1AAAAAAAu);
    EXPECT_EQ(frame->dlc, 2);
    EXPECT_EQ(frame->data[1], 0xF1);
    EXPECT_EQ(frame->channel, 1);
    // An 8-digit identifier is extended even when small; a 3-digit one is standard.
    EXPECT_TRUE(send("< send 00000123 0 >")->extended);
    EXPECT_FALSE(send("< send 123 0 >")->extended);
    // python-can writes the length in hex: "C" is 12 bytes, a CAN FD frame with bit-rate switch.
    frame = send("< send 123 C 0 1 2 3 4 5 6 7 8 9 a b >");
    ASSERT_TRUE(frame);
    EXPECT_TRUE(frame->fd && frame->brs);
    EXPECT_EQ(frame->dlc, 9);
    // "20" is 20 bytes to socketcand and 32 to python-can: the bytes given decide.
    std::string twenty = "< sendfd 123 20";
    for (int i = 0; i < 20; ++i) {
        twenty += " 5";
    }
    frame = send(twenty + " >", true);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->dlc, 11);
    // Refused: a length the bytes do not match, 9 bytes (no CAN FD length), a byte of three
    // digits, an identifier beyond 29 bits.
    EXPECT_FALSE(send("< send 123 3 1 2 >"));
    EXPECT_FALSE(send("< send 123 9 1 2 3 4 5 6 7 8 9 >"));
    EXPECT_FALSE(send("< send 123 1 100 >"));
    EXPECT_FALSE(send("< send 20000000 0 >"));
}

TEST(ServeProtocol, ReceivedFramesAreWrittenWholeInTheirForm) {
    ovel_canfd_frame frame{};
    frame.id = 0x123;
    frame.dlc = 4;
    frame.data[0] = 0x1A;
    frame.data[3] = 0x44;
    EXPECT_EQ(format_frame_message(frame, 23'424'242'999), "< frame 123 23.424242 1A000044 >");
    frame.extended = true;
    frame.dlc = 0;
    EXPECT_EQ(format_frame_message(frame, 1'000'000'000), "< frame 00000123 1.000000  >");
    frame.fd = true;
    frame.brs = true;
    frame.dlc = 15;
    const std::string fd = format_frame_message(frame, 0);
    EXPECT_EQ(fd.substr(0, 35), "< fdframe 00000123 05 0.000000 1A00");
    EXPECT_EQ(fd.size(), 31 + 128 + 2u);
    frame = ovel_canfd_frame{};
    frame.err = true;
    frame.id = 0x004;
    EXPECT_EQ(format_frame_message(frame, 2'000'001'000), "< error 004 2.000001 >");
    frame.err = false;
    frame.rtr = true;
    EXPECT_EQ(format_frame_message(frame, 0), "");
}

TEST(ServeProtocol, SplitterSeparatesCommandsGarbageAndOverlongInput) {
    CommandSplitter splitter;
    splitter.feed(" < open can0 >\n<echo>junk< send 1");
    EXPECT_EQ(splitter.next()->text, "< open can0 >");
    EXPECT_EQ(splitter.next()->text, "<echo>");
    const auto garbage = splitter.next();
    EXPECT_EQ(garbage->kind, CommandSplitter::Kind::Garbage);
    EXPECT_EQ(garbage->text, "junk");
    EXPECT_FALSE(splitter.next());  // the send waits for its end
    splitter.feed("23 0 >");
    EXPECT_EQ(splitter.next()->text, "< send 123 0 >");
    splitter.feed("<" + std::string(MAX_COMMAND_LENGTH, 'x'));
    EXPECT_EQ(splitter.next()->kind, CommandSplitter::Kind::TooLong);
    EXPECT_EQ(splitter.pending(), 0u);
}

}  // namespace
}  // namespace ovel::tool::serve
