// Transaction layer (RFC 3261 section 17): client transactions retransmit
// over UDP and time out, server transactions absorb retransmitted
// requests and repeat their final response.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "../base/base.h"
#include "../base/timer.h"
#include "../sip/sip.h"

namespace callctl {

// Timer values of the SIP layers, in milliseconds: T1, T2 and T4 of the
// transactions (RFC 3261 17), and those of the usages above: registration
// retries and refreshes, the shutdown wait and the media timeout.
struct TimerSettings {
    int64_t t1 = 500;
    int64_t t2 = 4000;
    int64_t t4 = 5000;
    int64_t register_retry_min = 30000;
    int64_t register_retry_max = 300000;
    int64_t shutdown_wait = 2000;
    // No REGISTER refresh goes out sooner than this after the previous one.
    int64_t register_refresh_min = 5000;
    // A connected, not held call with no RTP or RTCP for this long is over.
    int64_t media_timeout = 30000;
    // Session timers (RFC 4028) asked for in our INVITEs, in seconds.
    uint32_t session_expires = 1800;
    uint32_t min_se = 90;
    // Connections (TCP, TLS): an idle one is pinged, a ping must be
    // answered, and opening one may take so long.
    int64_t stream_ping = 30000;
    int64_t stream_pong_wait = 10000;
    int64_t stream_open_wait = 5000;
};

// What the transactions need from whoever runs them (the instance): the
// clock, the library thread's timers, the timer values and the SIP socket.
class TxnHost {
public:
    virtual int64_t now() const = 0;
    virtual TimerHost &timers() = 0;
    virtual const TimerSettings &timer_settings() const = 0;
    // A datagram to the peer; false when it could not be sent.
    virtual bool send(const Endpoint &to, const std::string &wire) = 0;

protected:
    ~TxnHost() = default;
};

// Response callback of a client transaction: a response, or nullptr when
// the transaction timed out (timer B or F) or could not be sent. It is never
// called from inside send_request: a request that cannot be built or has no
// destination fails from the library thread's next timer round, as a
// timeout would.
using ResponseFn = std::function<void(const sip::Message *resp)>;

class TxnLayer {
public:
    explicit TxnLayer(TxnHost &host);
    ~TxnLayer();

    // Most server transactions kept at once; past that, final responses
    // are sent without keeping them for retransmissions.
    static constexpr size_t kMaxServers = 256;

    // Sends `wire` (a complete request whose top Via carries `branch`) to
    // dest in a new client transaction. Returns its id (never 0).
    // ring_unbounded (a call's first INVITE): once a provisional response
    // came, the transaction waits for its final one without a time limit
    // (timer B runs only before the first provisional); see cancelled().
    // Other requests, re-INVITEs included, end after 64*T1 in any case.
    uint64_t send_request(const Endpoint &dest, const std::string &wire, ResponseFn fn, bool ring_unbounded = false);
    // A CANCEL was sent for this INVITE transaction: without a final
    // response within 64*T1 it ends as timed out.
    void cancelled(uint64_t id);
    // Gives a client transaction up (as timed out) `ms` from now unless its
    // final response comes first: a request whose answer is wanted sooner
    // than 64*T1.
    void give_up_after(uint64_t id, int64_t ms);
    // The connection to `peer` is gone: its requests still waiting for an
    // answer fail now (as timed out), so their owners can try elsewhere.
    void fail_destination(const Endpoint &peer);
    // The owner of a transaction goes away: its callback becomes a no-op.
    void detach(uint64_t id);
    // Routes a response to its client transaction; false when none matches.
    bool on_response(const sip::Message &resp);

    // Returns true when the request belongs to an existing server
    // transaction (retransmission or ACK) and was handled here.
    bool absorb_request(const sip::Message &req, const Endpoint &from);
    // Sends a final response to `req` and keeps it for retransmissions.
    void respond(const sip::Message &req, const Endpoint &to, const std::string &wire, int code);

    // Client transactions not yet terminated (for an orderly shutdown).
    size_t pending_clients() const;
    size_t servers() const { return servers_.size(); }

private:
    struct Client;
    struct Server;
    void client_timer_a(Client *c);
    void arm_timeout(Client *c, int64_t delay);
    void finish_client(uint64_t id);
    void finish_server(const std::string &key);
    void server_timer_g(const std::string &key);
    static std::string server_key(const sip::Message &m, bool ack_as_invite);

    TxnHost &host_;
    uint64_t next_id_ = 1;
    std::map<uint64_t, std::unique_ptr<Client>> clients_;
    std::map<std::string, uint64_t> client_by_branch_;
    std::map<std::string, std::unique_ptr<Server>> servers_;
};

}  // namespace callctl
