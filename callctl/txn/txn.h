// Transaction layer (RFC 3261 section 17) over UDP: client transactions
// retransmit and time out, server transactions absorb retransmitted
// requests and repeat their final response.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "../base/base.h"
#include "../engine/timer.h"
#include "../sip/sip.h"

namespace callctl {

class Instance;

// Response callback of a client transaction: a response, or nullptr when
// the transaction timed out (timer B or F) or could not be sent. It is never
// called from inside send_request: a request that cannot be built or has no
// destination fails from the library thread's next timer round, as a
// timeout would.
using ResponseFn = std::function<void(const sip::Message *resp)>;

class TxnLayer {
public:
    explicit TxnLayer(Instance &inst);
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

    Instance &inst_;
    uint64_t next_id_ = 1;
    std::map<uint64_t, std::unique_ptr<Client>> clients_;
    std::map<std::string, uint64_t> client_by_branch_;
    std::map<std::string, std::unique_ptr<Server>> servers_;
};

}  // namespace callctl
