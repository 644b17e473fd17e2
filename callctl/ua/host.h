// What the user-agent usages (lines, calls, keep-alives) need from the
// instance that runs them. The instance sits above this layer and
// implements UaHost; the usages see only this interface, never the
// instance, its thread or its media engine.
//
// Everything here is called with the instance lock held, as the usages are.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "../base/base.h"
#include "../base/resolver.h"
#include "../base/sip_locate.h"
#include "../include/callctl.h"
#include "../sdp/sdp.h"
#include "../sip/sip.h"
#include "../transport/transport.h"
#include "../txn/txn.h"

namespace callctl {

class Line;

// SRTP with SDES keys (RFC 3711, RFC 4568) for a call's audio:
//   Off         plain RTP/AVP only; an offer with only RTP/SAVP audio gets 488.
//   AcceptOnly  our offers are plain RTP/AVP, the peer's RTP/SAVP offers are
//               taken (an RTP/SAVP line with a usable a=crypto line before an
//               RTP/AVP line).
//   Offer       our offers are RTP/SAVP with a=crypto (AES_CM_128_HMAC_SHA1_80
//               as tag 1, _32 as tag 2, each with a new key), and the call's
//               audio is never plain: an answer without a usable a=crypto line
//               for one of our tags ends the call (ACK and BYE; DISCONNECTED
//               with SIPX_CAUSE_REJECTED and sipStatus 488, without CONNECTED
//               for a first answer; no audio is sent), and the peer's offers
//               without one get 488. For calls whose signalling is protected
//               (TLS), where keys in the description are worth sending.
// Once a call's audio is SRTP it stays so whatever the mode: re-offers of
// ours keep RTP/SAVP, the peer's re-offers without usable keys get 488, and
// answers without them end the call.
enum class SrtpMode { Off, AcceptOnly, Offer };

// Settings of the instance as the program set them through the C interface.
struct Config {
    std::string user_agent = "callctl";
    bool rport = false;
    std::string codec = "PCMU";
    int dtmf_mode = 2;
    std::string identity = "sipx";
    int max_calls = 100;
    uint16_t rtp_port_start = 8000;
    // Where a line goes when UDP to its registrar is not answered: TCP, TLS,
    // TLS again, on the registrar's address; 0 leaves that way out.
    uint16_t fallback_ports[3] = {5060, 5061, 443};
    // Not in the C interface: the instance sets it (Instance::set_srtp_mode),
    // and calls made from then on follow it.
    SrtpMode srtp = SrtpMode::AcceptOnly;
};

// A call's side of offer/answer and its audio stream, kept by the media
// engine; `call` is the call's handle.
class CallMedia {
public:
    // Opens the call's RTP/RTCP port pair: the first free pair from
    // first_port on, at most `pairs` of them. 0 when none could be had.
    virtual uint16_t open_stream(uint32_t call, uint32_t bind_ip, uint16_t first_port, int pairs) = 0;
    virtual void close_stream(uint32_t call) = 0;
    // The peer's description (a dotted-quad address) applied to the stream,
    // with the SRTP keys offer/answer settled (off: plain RTP).
    virtual void configure_stream(uint32_t call, const sdp::Remote &peer, const sdp::SrtpKeys &srtp) = 0;
    virtual void set_stream_hold(uint32_t call, bool held) = 0;
    // How long the stream has been without RTP and RTCP from the peer;
    // may_pause: the peer may pause its audio (silence suppression).
    virtual int64_t stream_quiet_ms(uint32_t call, int64_t now, bool *may_pause) = 0;

    // Payloads of our offer with the selected codec first.
    virtual std::vector<sdp::Payload> offer_payloads(const std::string &codec) = 0;
    // Our answer's payloads for the peer's offer (none usable: no audio).
    virtual std::vector<sdp::Payload> answer_payloads(const sdp::Remote &offer) = 0;
    virtual sdp::Direction answer_direction(sdp::Direction offered, bool local_hold) = 0;

protected:
    ~CallMedia() = default;
};

class UaHost : public TxnHost, public CallMedia {
public:
    Config config;

    virtual TxnLayer &txn() = 0;
    std::string new_branch() const { return "z9hG4bK" + random_token(16); }
    virtual bool send_raw(const Endpoint &to, const void *data, size_t len) = 0;
    // Builds and sends a response with the headers copied from `req`.
    // `stateless`: sent once and forgotten (no server transaction), for
    // requests we refuse outright.
    virtual void send_response(const sip::Message &req, const Endpoint &from, int code,
                               const std::vector<std::pair<std::string, std::string>> &extra,
                               std::string_view body, std::string_view content_type, std::string_view to_tag,
                               bool stateless = false) = 0;

    // Our sent-by for Via ("ip:port"), from the address that reaches `dest`.
    virtual std::string via_sent_by(const Endpoint &dest) = 0;
    // The top Via of a request to `dest`, for the transport it goes over.
    std::string via(const Endpoint &dest, const std::string &branch) {
        return via_value(dest.transport, via_sent_by(dest), config.rport, branch);
    }
    // URI parameters our Contact needs toward `dest` (";transport=tcp").
    virtual std::string contact_params(const Endpoint &dest) = 0;
    virtual SipTransport &transport() = 0;
    // Our Contact host:port: the public address learned through rport when
    // there is one, else the local one.
    virtual std::string contact_host_port(const Endpoint &dest) = 0;
    virtual std::string local_ip_for(const Endpoint &dest) = 0;
    // Reads received/rport from a response's top Via; returns true when the
    // learned public address changed.
    virtual bool learn_address(const sip::Message &resp) = 0;
    // Our network changed: the public address learned so far no longer holds.
    virtual void forget_public_address() = 0;
    // A line registered (or tried to) from a new address: its connected
    // calls offer that address with a re-INVITE.
    virtual void line_moved(uint32_t line) = 0;
    virtual uint32_t bind_ip() const = 0;

    // Events for the program's listeners.
    virtual void emit_call(SIPX_CALL call, SIPX_LINE line, uint32_t state, uint32_t cause, int sip_status) = 0;
    virtual void emit_line(SIPX_LINE line, uint32_t state, uint32_t cause, int sip_status) = 0;

    // Host names: `resolver().cached` never blocks (dotted quads and the
    // cache); on a miss `resolve` queues the lookup and calls fn under the
    // lock when the answer is in (at once when it is cached and `fresh` is
    // false). Owners cancel their waiting lookups when they go.
    virtual Resolver &resolver() = 0;
    virtual void resolve(const std::string &host, uint64_t owner, std::function<void(bool, uint32_t)> fn,
                         bool fresh = false) = 0;
    virtual void cancel_resolves(uint64_t owner) = 0;
    // The SIP servers DNS names for a domain (RFC 3263: NAPTR, SRV, A), in
    // the order to try them; fn gets an empty list when there are none, the
    // lookups failed or the domain is a dotted quad. Called under the lock,
    // at once when the answer is cached. Cancelled with cancel_resolves.
    virtual void locate(const std::string &domain, uint64_t owner,
                        std::function<void(const std::vector<SipTarget> &)> fn) = 0;

    // Every line of the instance, removed ones included.
    virtual void for_each_line(const std::function<void(Line &)> &fn) = 0;

protected:
    ~UaHost() = default;
};

}  // namespace callctl
