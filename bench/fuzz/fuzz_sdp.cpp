// Session descriptions: sdp::parse on any text, then the offer/answer rules on what it
// read. A refused text leaves the result alone; a read one keeps to the limits of the
// header (payload types 0..127, at most kMaxFormats, telephone-event one of them); the
// stream settings and the answer only name payloads of the description; and our
// answer, written as a description, reads back the same. SDES keys: only an RTP/SAVP
// stream has a=crypto lines; a usable one has a suite we have, and its key written
// again as an attribute of ours reads back as the same key.
#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <string_view>

#include "fuzz_check.h"
#include "media/media.h"
#include "sdp/sdp.h"

using namespace callctl;

namespace {

bool Listed(const sdp::Remote &r, int pt)
{
    for (const sdp::Payload &p : r.payloads)
        if (p.pt == pt)
            return true;
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    sdp::Remote r;
    r.address = "untouched";
    r.port = 4242;
    if (!sdp::parse(text, &r)) {
        FUZZ_CHECK(r.address == "untouched" && r.port == 4242 && r.payloads.empty());
        return 0;
    }
    FUZZ_CHECK(r.payloads.size() <= sdp::kMaxFormats);
    for (const sdp::Payload &p : r.payloads)
        FUZZ_CHECK(p.pt >= 0 && p.pt <= 127);
    FUZZ_CHECK(r.telephone_event_pt == -1 || Listed(r, r.telephone_event_pt));

    FUZZ_CHECK(r.secure || r.crypto.empty());
    FUZZ_CHECK(r.crypto.size() <= sdp::kMaxCryptoLines);
    for (const sdp::Crypto &c : r.crypto) {
        sdp::SrtpKey k;
        if (!sdp::usable_key(c, &k))
            continue;
        FUZZ_CHECK(k.on() && k.window >= 64);
        sdp::Crypto again;
        FUZZ_CHECK(sdp::parse_crypto(sdp::crypto_attribute(c.tag, k).substr(7), &again));
        sdp::SrtpKey k2;
        FUZZ_CHECK(again.tag == c.tag && sdp::usable_key(again, &k2) && k2.suite == k.suite &&
                   std::equal(k.master, k.master + sdp::kMasterLength, k2.master));
    }

    const media::StreamParams params = media::params_from(r);
    for (const auto &f : params.audio)
        FUZZ_CHECK(Listed(r, f.pt));
    FUZZ_CHECK(params.te_pt == -1 || Listed(r, params.te_pt));
    FUZZ_CHECK(!(params.send || params.recv) || (!params.audio.empty() && r.port != 0 && params.rtp.ip != 0));

    // The answer keeps the offer's order: a subsequence of its payloads.
    const std::vector<sdp::Payload> answer = media::answer_payloads(r);
    size_t at = 0;
    for (const sdp::Payload &a : answer) {
        while (at < r.payloads.size() && r.payloads[at].pt != a.pt)
            ++at;
        FUZZ_CHECK(at < r.payloads.size());
        ++at;
    }

    sdp::Offer o;
    o.address = "192.0.2.7";
    o.port = static_cast<uint16_t>(r.port & ~1u);
    o.session_id = size;
    o.version = 1;
    o.payloads = answer;
    o.direction = media::answer_direction(r.direction, size % 2 == 1);
    const std::string written = sdp::write(o);
    sdp::Remote back;
    FUZZ_CHECK(sdp::parse(written, &back));
    FUZZ_CHECK(back.address == o.address && back.port == o.port && back.direction == o.direction);
    FUZZ_CHECK(back.payloads.size() == answer.size());
    for (size_t i = 0; i < answer.size(); ++i) {
        const sdp::Payload &w = answer[i], &b = back.payloads[i];
        FUZZ_CHECK(b.pt == w.pt && b.name == w.name && b.rate == w.rate && b.fmtp == w.fmtp);
    }
    return 0;
}
