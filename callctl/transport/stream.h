// Framing of SIP on a byte stream (RFC 3261 18.3): a message is its header
// part up to the empty line plus Content-Length bytes of body; CRLFs between
// messages are keep-alives (RFC 5626: a double CRLF is a ping, a single CRLF
// the pong).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace callctl {

class StreamFramer {
public:
    enum class Item { None, Message, Ping, Pong, Bad };
    // Largest message taken; a bigger one (or a header part that never
    // ends) makes the stream Bad.
    static constexpr size_t kMaxMessage = 65536;

    void feed(const char *data, size_t len) { buf_.append(data, len); }
    // The next complete item from the stream; for Message, *msg is the
    // whole message (valid until the next call).
    Item next(std::string_view *msg);
    size_t buffered() const { return buf_.size() - start_; }

private:
    std::string buf_;
    size_t start_ = 0;
};

// The Content-Length of a header part (long or compact name); -1 when it
// is malformed, 0 when absent.
long content_length(std::string_view headers);

}  // namespace callctl
