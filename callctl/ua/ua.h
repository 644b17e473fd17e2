// User-agent usages: line registration, calls (INVITE dialogs),
// conferences and keep-alives. All methods run with the instance lock held.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "../auth/auth.h"
#include "../base/base.h"
#include "../base/timer.h"
#include "../include/callctl.h"
#include "../sdp/sdp.h"
#include "../sip/sip.h"
#include "../txn/txn.h"
#include "host.h"

namespace callctl {

// A remote target (a Contact's URI) as a Request-URI: URI headers and the
// method parameter dropped (RFC 3261 12.2.1.1, 19.1.5). Empty when it is
// not a SIP URI with a host.
std::string request_uri_of(std::string_view uri);

// Answers digest challenges for one request series (a line's REGISTERs, a
// call's INVITEs). Remembers the last challenge so refreshes go out with
// credentials straight away.
class AuthSession {
public:
    struct Credential {
        std::string user, password, realm;
    };
    enum class Outcome { Answer, Stale, Failed };
    static constexpr size_t kMaxRealms = 4;
    static constexpr int kMaxStale = 2;  // stale challenges answered in a row
    // Looks at a 401/407; on Answer/Stale the request should be sent again
    // with headers(). Failed: no usable challenge, no credential for the
    // realm, or a second non-stale challenge right after credentials.
    Outcome on_challenge(const sip::Message &resp, const std::vector<Credential> &creds);
    // Authorization headers for a request (empty without a challenge).
    std::vector<std::pair<std::string, std::string>> headers(std::string_view method, std::string_view uri);
    void reset() {
        entries_.clear();
        answered_ = false;
        stale_in_a_row_ = 0;
    }
    // Called when a request carrying credentials got a non-401/407 answer,
    // and before a new request series.
    void accepted() {
        answered_ = false;
        stale_in_a_row_ = 0;
    }
    size_t realms() const { return entries_.size(); }

private:
    struct Entry {
        bool proxy = false;
        auth::Challenge challenge;
        auth::Credentials cred;
        uint32_t nc = 0;
    };
    std::vector<Entry> entries_;
    bool answered_ = false;  // the last request carried credentials
    int stale_in_a_row_ = 0;
};

// Identity "sip:user@host:port" split into what requests need.
struct Identity {
    std::string uri;       // as given, without <>
    std::string user;
    std::string host;
    uint16_t port = 5060;
    std::string display;
    bool parse(const std::string &text);
    std::string host_port() const { return host + ":" + std::to_string(port); }
};

class Line {
public:
    enum class State { Idle, Registering, Registered, Unregistering, RetryWait };
    // A Retry-After longer than this is cut to it.
    static constexpr uint64_t kMaxRetryAfterS = 3600;
    static constexpr int64_t kNetworkCheckMs = 2000;

    Line(UaHost &host, uint32_t handle, Identity id);
    ~Line();

    void add_credential(const std::string &user, const std::string &password, const std::string &realm);
    SIPX_RESULT set_register(bool on);
    // Unregister if registered; no retries after this.
    void shutdown();
    // A keep-alive to our registrar was answered; after_outage: after at
    // least two that were not. Retries at once (within the refresh floor).
    void server_back(bool after_outage);
    // Keep-alives to our registrar stopped being answered: a registered
    // line re-registers at once, and hears within 16*T1 whether the server
    // is still there.
    void server_silent();

    const uint32_t handle;
    const Identity id;
    std::vector<AuthSession::Credential> creds;
    // A random value in the Contact we register: requests the registrar
    // forwards to us carry it in their Request-URI, a forged one does not.
    static constexpr char kContactTokenParam[] = "rinstance";
    std::string contact_token;
    State state() const { return state_; }
    // One way to the registrar: a transport and a port on its address.
    struct Path {
        Transport transport;
        uint16_t port;
        uint32_t ip = 0;  // 0: the address of the identity's host
        bool operator==(const Path &o) const { return transport == o.transport && port == o.port && ip == o.ip; }
    };
    // The ways tried when the one before gets no answer: the line's own
    // UDP port first, then TCP 5060, TLS 5061 and TLS 443. `preferred`
    // (what worked last time for this domain) goes first; extra ones (found
    // in DNS) follow the first.
    // keep_current: the way in use stays in use (else the first is next).
    void set_paths(const std::vector<Path> &extra, const Path *preferred, bool keep_current = false);
    // The servers DNS names for the domain join the ways (after the first),
    // the way in use staying the one in use.
    void add_located(const std::vector<SipTarget> &targets);
    // The way the line last registered, or is trying.
    Path path() const { return paths_[path_]; }
    bool path_proven() const { return path_proven_; }
    // Registrar address; resolved when the line is added.
    Endpoint registrar;
    bool registrar_known = false;
    // sipxLineRemove released the handle; the object stays for its
    // un-REGISTER but takes no notices and no keep-alive news.
    bool removed = false;

private:
    void send_register(uint32_t expires);
    void on_response(const sip::Message *resp, uint32_t expires);
    // not_before: the registrar's Retry-After, in ms (the back-off is
    // stretched to it).
    void fail(uint32_t cause, int status, int64_t not_before = 0);
    void schedule_refresh(uint32_t granted);
    void retry();
    void watch_network();
    // delay, pushed back so no REGISTER follows the previous one sooner
    // than the refresh floor.
    int64_t floor_delay(int64_t delay) const;
    bool refresh_due_soon() const;
    uint32_t granted_expiry(const sip::Message &resp) const;

    bool next_path();
    void use_path(size_t i);

    UaHost &host_;
    std::vector<Path> paths_;
    size_t path_ = 0;
    Path preferred_{Transport::Udp, 0};
    bool have_preferred_ = false;
    std::vector<Path> located_;
    bool locating_ = false;
    uint32_t domain_ip_ = 0;  // the identity's host, while a located server is in use
    bool path_proven_ = false;
    State state_ = State::Idle;
    bool registered_reported_ = false;
    std::string call_id_;
    std::string from_tag_;
    uint32_t cseq_ = 0;
    uint32_t want_expires_ = 3600;
    uint64_t txn_ = 0;
    int retry_count_ = 0;
    int interval_tries_ = 0;
    int64_t last_register_at_ = -1000000000;
    bool rebound_ = false;
    uint32_t last_fail_cause_ = 0;
    bool early_retry_done_ = false;
    int64_t retry_not_before_ = 0;  // a Retry-After's end (clock ms)
    // The local address our last REGISTER went from; checked every
    // kNetworkCheckMs while the line is in use.
    std::string local_ip_;
    bool calls_follow_ = false;
    std::string contact_;  // Contact host:port of the last REGISTER
    AuthSession auth_;
    Timer refresh_;
    Timer retry_;
    Timer net_watch_;
};

class Call {
public:
    enum class State { Idle, Calling, Early, Connected, Terminating, Terminated };
    // Record-Route entries kept from a 2xx; a longer list is cut.
    static constexpr size_t kMaxRoutes = 32;
    // Our Allow header: the methods we take in a dialog or outside one.
    static constexpr char kAllow[] = "INVITE, ACK, CANCEL, BYE, OPTIONS, MESSAGE, NOTIFY, UPDATE";
    // Redirect targets tried for one call (the first one included).
    static constexpr int kMaxTargets = 4;
    // A re-INVITE refused with 491 is sent again at most this often.
    static constexpr int kMaxGlareRetries = 2;
    // Challenges answered for one re-INVITE or one INVITE (a 422 counts too).
    static constexpr int kMaxRetries = 2;

    Call(UaHost &host, uint32_t handle, Line *line);
    ~Call();

    // looked_up: the target host's address as the API looked it up before
    // it took the lock (0: none; the cache is asked).
    SIPX_RESULT connect(const std::string &target, uint32_t looked_up = 0);
    SIPX_RESULT hold(bool hold, bool stop_remote_audio);
    // Local hang-up; the handle is released (the object may live on until
    // its last transaction ends).
    void release();
    // An in-dialog request; false when it is not for this call.
    bool matches(const sip::Message &m) const;
    void on_request(const sip::Message &m, const Endpoint &from);
    // A 2xx retransmission that no transaction claimed.
    bool on_stray_2xx(const sip::Message &resp);
    bool finished() const;
    // Our address changed (another network): a connected call offers its
    // audio from the new address with a re-INVITE.
    void address_changed();

    const uint32_t handle;
    uint32_t line_handle;
    uint32_t conf = 0;
    bool released = false;
    State state() const { return state_; }
    bool on_hold() const { return held_; }
    // Shutting down: requests waiting for a host-name lookup go to the
    // first destination instead.
    void give_up_lookups();

private:
    // What a re-INVITE of ours is for.
    enum class Purpose { Hold, Resume, Refresh, NewAddress };
    using Headers = std::vector<std::pair<std::string, std::string>>;

    void send_invite();
    void on_invite_response(const sip::Message *resp);
    // A 3xx to the INVITE: the next Contact to try, if any.
    bool follow_redirect(const sip::Message &resp);
    void track(uint64_t txn);
    void linger();
    void confirm_2xx(const sip::Message &resp);
    // A 2xx of the first INVITE from another branch (a forked call): ACK
    // and BYE for that dialog.
    void end_other_dialog(const sip::Message &resp);
    void send_ack(uint32_t cseq);
    // Returns the request's CSeq.
    uint32_t send_in_dialog(const std::string &method, std::string_view body, std::string_view ctype, ResponseFn fn,
                            Headers extra = {});
    void send_cancel();
    void send_bye();
    void disconnected(uint32_t cause, int status);
    // Our offer, or with `answering` our answer to that offer with the
    // a=crypto attribute answer_crypto (keys_for_offer) when it is RTP/SAVP.
    std::string build_sdp(sdp::Direction dir, const sdp::Remote *answering = nullptr,
                          const std::string &answer_crypto = {});
    // The peer's description (answer, early-media answer or offer) to the
    // media stream, with the SRTP keys in srtp_.
    void apply_remote(const sdp::Remote &rs);

    // SRTP with SDES keys (call_srtp.cpp; the rules at SrtpMode in host.h).
    // Our offers are RTP/SAVP: in Offer mode, and once the audio is SRTP.
    bool secure_offer() const { return srtp_mode_ == SrtpMode::Offer || srtp_.on(); }
    // The profiles of the peer's offers we take.
    sdp::Profiles offer_profiles() const;
    // The a=crypto attributes of our next offer (none for RTP/AVP): tag 1
    // AES_CM_128_HMAC_SHA1_80, tag 2 _32, each with a new key but the one we
    // send with, which goes on under its suite. Remembered in offered_keys_.
    std::vector<std::string> offer_crypto();
    // The keys an answer to our last offer settles; false when it cannot be
    // used (another profile than ours, or no usable a=crypto line for one
    // of our tags).
    bool keys_from_answer(const sdp::Remote &answer, sdp::SrtpKeys *out) const;
    // The keys for our answer to the peer's offer and our answer's a=crypto
    // attribute (the first usable line of the offer, answered under its tag
    // with our key); false when nothing usable is offered (488).
    bool keys_for_offer(const sdp::Remote &offer, sdp::SrtpKeys *out, std::string *attribute);
    // An answer to our offer that we cannot use ends the call (RFC 3264 has
    // no other way back): ACK sent, BYE.
    void unusable_answer();
    void take_remote_target(const sip::Message &m);
    // The next hop of in-dialog requests from the remote target or first
    // route; a name is looked up off the lock and requests made meanwhile
    // wait in when_hop.
    void update_hop();
    void when_hop(std::function<void()> fn);
    // While connected: ends the call when no RTP or RTCP came for the media
    // timeout (not while either side holds).
    void watch_media();
    std::string dialog_request(const std::string &method, uint32_t cseq, const std::string &branch,
                               std::string_view body, std::string_view ctype, const Headers &extra);
    Endpoint next_hop() const;
    // Where requests toward `e` really go: the line's connection when it
    // has one.
    Endpoint flow(const Endpoint &e) const;
    std::string contact_header(const Endpoint &toward) const;

    // Our re-INVITEs (call_reinvite.cpp): one at a time, retried after a
    // 491 or a challenge, ending the call when the dialog is gone.
    void start_reinvite(Purpose why, sdp::Direction dir);
    void send_reinvite();
    void on_reinvite_response(const sip::Message *r);
    void reinvite_failed(int status);
    // The peer's offers in INVITE or UPDATE; false when refused.
    bool answer_offer(const sip::Message &m, const Endpoint &from, bool update);

    // Session timers (call_timers.cpp, RFC 4028).
    Headers session_timer_request_headers() const;
    // From a 2xx to our INVITE or re-INVITE.
    void session_timer_from_response(const sip::Message &resp);
    // From the peer's INVITE or UPDATE; the headers for our 2xx.
    Headers session_timer_from_request(const sip::Message &req);
    void arm_session_timer();
    void refresh_session();
    void stop_session_timer();

    UaHost &host_;
    Line *line_;
    State state_ = State::Idle;
    bool alerted_ = false;
    bool disconnect_reported_ = false;
    bool cancel_pending_ = false;  // destroyed before any provisional
    bool held_ = false;
    std::string target_;       // Request-URI of the INVITE
    Endpoint dest_;            // where the INVITE went
    std::string call_id_, local_tag_, remote_tag_;
    std::string local_uri_, remote_uri_, remote_target_;
    std::vector<std::string> route_set_;
    std::string to_header_;    // To of the dialog (with tag once known)
    uint32_t cseq_ = 0;        // last local CSeq
    uint32_t invite_cseq_ = 0; // CSeq of the INVITE that set up the call
    std::string invite_wire_;  // the current INVITE (for CANCEL)
    std::string invite_branch_;
    std::vector<uint64_t> txns_;  // our client transactions, detached at destruction
    uint64_t invite_txn_ = 0;
    bool invite_final_ = true;    // the last INVITE had its final response (or none was sent)
    int invite_retries_ = 0;      // challenges and 422s answered for the first INVITE
    std::vector<std::string> targets_tried_;  // Request-URIs of our INVITEs (redirects)
    std::vector<std::string> redirects_;      // Contacts of 3xx answers still to try
    uint64_t redirect_gen_ = 0;
    Endpoint hop_;
    bool hop_ready_ = true;
    uint64_t hop_gen_ = 0;
    std::vector<std::function<void()>> hop_waiting_;
    uint64_t sdp_gen_ = 0;
    int64_t connected_at_ = 0;
    std::string last_ack_;
    uint32_t last_ack_cseq_ = 0;
    std::string invite_ack_;  // the ACK of the first INVITE's 2xx
    bool confirmed_ = false;  // a 2xx to the first INVITE was acknowledged
    std::vector<std::string> other_dialogs_;  // To tags of forked answers we ended
    // The credentials of our INVITEs, repeated in their ACKs.
    Headers invite_auth_;
    Headers reinvite_auth_;
    uint32_t reinvite_auth_cseq_ = 0;
    uint16_t rtp_port_ = 0;
    uint64_t sdp_session_ = 0;
    uint64_t sdp_version_ = 0;
    std::string last_sdp_;  // the last description we sent
    sdp::Remote remote_sdp_;
    std::vector<sdp::Payload> payloads_;  // of our last offer or answer
    // SRTP: the mode when the call was made, the keys of our last offer or
    // answer by tag and whether it was RTP/SAVP, the keys in use (off:
    // plain RTP).
    // The instance's mode when the call was made; Offer once its signalling is TLS.
    SrtpMode srtp_mode_;
    struct OfferedKey {
        uint32_t tag;
        sdp::SrtpKey key;
    };
    std::vector<OfferedKey> offered_keys_;
    bool offered_secure_ = false;
    sdp::SrtpKeys srtp_;
    AuthSession auth_;
    Timer linger_;
    Timer media_watch_;

    // The peer's requests: the highest CSeq taken, and our offer in a 2xx
    // to its INVITE without one, answered in its ACK.
    bool remote_cseq_known_ = false;
    uint32_t remote_cseq_ = 0;
    bool offer_in_2xx_ = false;
    uint32_t offer_in_2xx_cseq_ = 0;
    int64_t offer_in_2xx_at_ = 0;

    // Our re-INVITE under way.
    bool reinvite_pending_ = false;   // from start to its outcome
    bool reinvite_in_flight_ = false; // a transaction is out
    Purpose reinvite_why_ = Purpose::Hold;
    sdp::Direction reinvite_dir_ = sdp::Direction::SendRecv;
    sdp::Direction local_dir_ = sdp::Direction::SendRecv;
    int reinvite_glare_ = 0;
    int reinvite_retries_ = 0;
    Timer glare_wait_;
    Timer moved_wait_;  // a new address waits for the re-INVITE under way

    // Session timer: interval in seconds (0: none), who refreshes.
    uint32_t session_interval_ = 0;
    uint32_t session_min_se_ = 0;  // our Min-SE (raised by a 422)
    uint32_t session_asked_ = 0;   // Session-Expires of our INVITEs
    bool we_refresh_ = false;
    Timer session_refresh_;
    Timer session_expiry_;
};

class Conference {
public:
    Conference(uint32_t handle) : handle(handle) {}
    const uint32_t handle;
    std::vector<uint32_t> calls;
    bool held = false;
    bool bridging = false;
};

class KeepAlive {
public:
    KeepAlive(UaHost &ua, int type, std::string host, uint16_t port, int period_s);
    ~KeepAlive();
    void set_period(int period_s);
    // An answer from the keep-alive's peer (CRLF pong, STUN answer, any
    // response to the OPTIONS).
    void answered();
    // Whether a non-SIP datagram from the peer answers our kind of
    // keep-alive (a CRLF pong, a STUN success for our last request).
    bool is_answer(const char *data, size_t len) const;
    const int type;
    const std::string host;
    const uint16_t port;
    uint32_t ip = 0;

private:
    // How long an answer may take before the keep-alive counts as missed
    // (half the period when that is shorter).
    static constexpr int64_t kAnswerWaitMs = 4000;
    void fire();
    void unanswered();
    int64_t answer_wait_ms() const;
    uint64_t owner() const;
    UaHost &host_;
    int period_s_;
    bool awaiting_ = false;       // the last one sent has had no answer yet
    bool ever_answered_ = false;  // this server answers our kind of keep-alive
    int missed_ = 0;              // sent in a row without an answer
    uint8_t stun_id_[12] = {};
    Timer timer_;
    Timer answer_wait_;
};

}  // namespace callctl
