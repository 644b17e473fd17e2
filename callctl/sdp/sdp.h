// Session descriptions (RFC 4566) for offer/answer: our audio offer and
// the parts of the peer's description the call needs.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "crypto.h"

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
    // An answer has one m= line per offered one, in order: the offer's other
    // lines are written refused (port 0) around our audio line, which is
    // line number audio_at.
    std::vector<std::string> refused;
    size_t audio_at = 0;
    // RTP/SAVP with these a=crypto attributes ("crypto:1 ...") in order,
    // or RTP/AVP.
    bool secure = false;
    std::vector<std::string> crypto;
};
std::string write(const Offer &o);

// Formats of an m= line that are looked at; the rest are ignored.
constexpr size_t kMaxFormats = 16;
// A description with more m= lines than this is not read (it could not be
// answered line for line).
constexpr size_t kMaxMediaLines = 16;

// One m= line as offered: media type, port, transport and format list.
struct MediaLine {
    std::string media;
    uint16_t port = 0;
    std::string proto;
    std::string formats;
};

// The a=crypto lines looked at per m= line; more are ignored.
constexpr size_t kMaxCryptoLines = 16;

// Which transport profiles of an audio line may be taken.
enum class Profiles { Plain, Secure, Any };  // RTP/AVP, RTP/SAVP, either

// The audio stream of a received description. Payload types outside 0..127
// are ignored; telephone_event_pt is one of the listed payloads.
//
// The audio stream is an audio line of a profile taken: one with a port
// before one without, and with Profiles::Any an RTP/SAVP line with a
// usable a=crypto line before an RTP/AVP line before an RTP/SAVP line
// without one; the first of equals. Every m= line is listed in `lines`.
// For an RTP/SAVP stream, `crypto` has its well-formed a=crypto lines in
// order (usable or not).
struct Remote {
    std::string address;
    uint16_t port = 0;
    std::vector<Payload> payloads;
    Direction direction = Direction::SendRecv;
    int telephone_event_pt = -1;
    std::vector<MediaLine> lines;
    size_t audio_line = 0;  // index in lines
    bool secure = false;    // RTP/SAVP
    std::vector<Crypto> crypto;
};
// False when the text is not a description with an audio stream of a
// profile taken, or has more than kMaxMediaLines m= lines.
bool parse(std::string_view text, Remote *out, Profiles take = Profiles::Any);

// The refused lines of an answer to `offer` (every m= line but its audio
// one, port 0, formats as offered) into `answer`.
void refuse_other_lines(const Remote &offer, Offer *answer);


}  // namespace callctl::sdp
