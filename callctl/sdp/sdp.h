// Session descriptions (RFC 4566) for offer/answer: our audio offer and
// the parts of the peer's description the call needs.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace callctl::sdp {

enum class Direction { SendRecv, SendOnly, RecvOnly, Inactive };
const char *direction_text(Direction d);

struct Payload {
    int pt = -1;
    std::string name;  // "PCMU", "telephone-event"
    int rate = 8000;
    std::string fmtp;  // a=fmtp parameters, "" for none
};

struct Offer {
    std::string address;   // our address for c=
    uint16_t port = 0;     // RTP port (even)
    uint64_t session_id = 0;
    uint64_t version = 0;
    std::vector<Payload> payloads;
    Direction direction = Direction::SendRecv;
};
std::string write(const Offer &o);

// Formats of an m= line that are looked at; the rest are ignored.
constexpr size_t kMaxFormats = 16;

// The audio stream of a received description. Payload types outside 0..127
// are ignored; telephone_event_pt is one of the listed payloads.
struct Remote {
    std::string address;
    uint16_t port = 0;
    std::vector<Payload> payloads;
    Direction direction = Direction::SendRecv;
    int telephone_event_pt = -1;
};
// False when the text is not a description with an audio stream.
bool parse(std::string_view text, Remote *out);


}  // namespace callctl::sdp
