// The socketcand protocol's text, without sockets or adapter: splitting the byte stream of a
// client into "< ... >" commands, reading a send command into a frame, and writing a received
// frame as the message a client gets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ovelcanfd.h"

namespace ovel::tool::serve {

// The longest command accepted: a send of 64 data bytes written "ff " each is about 230 bytes;
// socketcand's own limit is larger only for ISO-TP, which this server does not offer.
inline constexpr std::size_t MAX_COMMAND_LENGTH = 512;

// Splits what a client sends into commands. Whitespace between commands is allowed; any other
// byte outside "< ... >" is garbage.
class CommandSplitter {
  public:
    enum class Kind { Command, Garbage, TooLong };
    struct Item {
        Kind kind;
        std::string text;  // the command with its brackets, or the garbage
    };

    void feed(std::string_view bytes) { pending_.append(bytes); }
    // The next complete item; nullopt when more bytes are needed. After TooLong the stream
    // cannot be resynchronised: the caller drops the client.
    std::optional<Item> next();
    // Bytes of an incomplete command waiting for its end.
    std::size_t pending() const { return pending_.size(); }

  private:
    std::string pending_;
};

// The words between "<" and ">".
std::vector<std::string_view> command_words(std::string_view command);

// A send command's words after "send"/"sendfd": ID LENGTH BYTE... with the ID in hex (8 digits
// or a value above 0x7FF: extended), LENGTH in decimal as socketcand reads it or in hex as
// python-can writes it (the number of bytes given decides), and the bytes in hex. `fd`: the
// frame goes out as CAN FD with bit-rate switch (sendfd, or send with more than 8 bytes).
// Returns the frame or sets `error`.
std::optional<ovel_canfd_frame> parse_send(const std::vector<std::string_view>& words,
                                           bool fd_command, std::uint8_t channel,
                                           std::string& error);

// Counts which messages a frame becomes.
enum class FrameKind { Classic, Fd, Error, Remote };
FrameKind frame_kind(const ovel_canfd_frame& frame);

// The message for a received frame, as socketcand's raw mode writes it (no separator):
//   < frame 123 1700000000.123456 11223344 >            classic (8 hex digits: extended id)
//   < fdframe 123 05 1700000000.123456 1122...  >       CAN FD; FLAGS as Linux canfd_frame's
//                                                       (01 BRS, 02 ESI, 04 FD)
//   < error 004 1700000000.123456 >                     error frame: its class bits
// Remote frames have no form in the protocol: empty.
std::string format_frame_message(const ovel_canfd_frame& frame, std::int64_t time_ns);

}  // namespace ovel::tool::serve
