#pragma once

// The requests an SMB2 client sends, read off its TCP stream: each message comes behind a 4-byte
// NetBIOS session header (a zero byte and a 24-bit length), and one message may hold several
// commands chained as a compound request.

#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

namespace orvendal::testing {

constexpr unsigned kSmb2Read = 8;

// The commands of one message (without its session header), in order.
inline std::vector<unsigned> smb2Commands(std::span<const std::uint8_t> message) {
    std::vector<unsigned> commands;
    for (std::size_t at = 0;
         at + 24 <= message.size() && std::memcmp(message.data() + at, "\xfeSMB", 4) == 0;) {
        commands.push_back(message[at + 12] | (message[at + 13] << 8));
        std::uint32_t next;
        std::memcpy(&next, message.data() + at + 20, 4);
        if (next == 0) {
            break;
        }
        at += next;
    }
    return commands;
}

// Cuts a stream into its messages as the bytes arrive, however TCP split them.
class Smb2MessageStream {
public:
    // Appends `bytes` and calls `message(framed, body)` for each message now whole: `framed`
    // with its session header, as it goes on the wire, `body` without it.
    template <typename OnMessage>
    void feed(std::span<const std::uint8_t> bytes, OnMessage message) {
        buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
        std::size_t at = 0;
        while (buffer_.size() - at >= 4) {
            const std::size_t length = (std::size_t{buffer_[at + 1]} << 16) |
                                       (std::size_t{buffer_[at + 2]} << 8) | buffer_[at + 3];
            if (buffer_.size() - at - 4 < length) {
                break;
            }
            const std::span<const std::uint8_t> framed(buffer_.data() + at, 4 + length);
            message(framed, framed.subspan(4));
            at += 4 + length;
        }
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<long>(at));
    }

private:
    std::vector<std::uint8_t> buffer_;
};

} // namespace orvendal::testing
