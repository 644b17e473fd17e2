// One call-control instance: its SIP socket, the library thread, timers,
// transactions, lines, calls, conferences and keep-alives, the listener
// list and the queue of events waiting to be delivered.
//
// Locking: `lock` guards everything below it. API calls take it, do their
// work (including sending) and return; the library thread takes it to
// handle datagrams and timers. Listeners are called by the library thread
// only, with the lock released.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../base/base.h"
#include "../include/callctl.h"
#include "../media/media.h"
#include "../sip/sip.h"
#include "../txn/txn.h"
#include "resolver.h"
#include "timer.h"

namespace callctl {

class Line;
class Call;
class Conference;
class KeepAlive;

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
};

// Audio settings as the program set them (read back by the getters); the
// media engine holds its own copy.
struct AudioSettings {
    std::string input_device;
    std::string output_device;
    int input_volume = 100;
    bool mute_input = false;
    bool mute_output = false;
    int aec_mode = 0;
    int agc = 0;
    int noise_reduction = 0;
};

struct Config {
    std::string user_agent = "callctl";
    bool rport = false;
    std::string codec = "PCMU";
    int dtmf_mode = 2;
    std::string identity = "sipx";
    int max_calls = 100;
    uint16_t rtp_port_start = 8000;
};

// Handles are unique across all kinds and instances, never 0, never reused.
uint32_t new_handle();

class Instance {
public:
    Instance(uint32_t handle);
    ~Instance();

    // Binds the SIP socket and starts the library thread.
    SIPX_RESULT start(uint32_t bind_ip, uint16_t port);
    // Ends calls and registrations, waits for their answers (bounded),
    // stops the thread. Must not be called on the library thread.
    void stop();
    bool on_library_thread() const { return std::this_thread::get_id() == thread_id_; }

    // ---- used by the layers, with `lock` held --------------------------
    int64_t now() const { return now_ms(); }
    TimerHost &timers() { return timers_; }
    const TimerSettings &timer_settings() const { return timer_settings_; }
    TxnLayer &txn() { return txn_; }
    bool send(const Endpoint &to, const std::string &wire);
    bool send_raw(const Endpoint &to, const void *data, size_t len);

    // Our sent-by for Via ("ip:port"), from the address that reaches `dest`.
    std::string via_sent_by(const Endpoint &dest);
    // Our Contact host:port: the public address learned through rport when
    // there is one, else the local one.
    std::string contact_host_port(const Endpoint &dest);
    std::string local_ip_for(const Endpoint &dest);
    std::string new_branch() const { return "z9hG4bK" + random_token(16); }
    // Reads received/rport from a response's top Via; returns true when the
    // learned public address changed.
    bool learn_address(const sip::Message &resp);

    void emit_call(SIPX_CALL call, SIPX_LINE line, uint32_t state, uint32_t cause, int sip_status);
    void emit_line(SIPX_LINE line, uint32_t state, uint32_t cause, int sip_status);
    void emit_message(SIPX_LINE line, const std::string &gbk_text);
    void wake();

    Line *find_line(uint32_t h);
    Call *find_call(uint32_t h);  // live (not released) calls only
    Conference *find_conf(uint32_t h);
    // The line whose registrar is exactly this address and port.
    Line *line_for_source(const Endpoint &from);
    KeepAlive *keepalive_for(const Endpoint &from);

    // Host names: `cached` never blocks (dotted quads and the cache); on a
    // miss `resolve` queues the lookup and calls fn on the library thread,
    // under the lock, when the answer is in (at once when it is cached and
    // `fresh` is false). Owners cancel their waiting lookups when they go.
    Resolver &resolver() { return *resolver_; }
    void resolve(const std::string &host, uint64_t owner, std::function<void(bool, uint32_t)> fn,
                 bool fresh = false);
    void cancel_resolves(uint64_t owner);
    uint32_t bind_ip() const { return bind_ip_; }
    size_t live_calls() const;

    std::mutex lock;
    Config config;
    TimerSettings timer_settings_;
    AudioSettings audio;
    std::map<uint32_t, std::unique_ptr<Line>> lines;
    std::map<uint32_t, std::unique_ptr<Call>> calls;
    std::map<uint32_t, std::unique_ptr<Conference>> confs;
    std::vector<std::unique_ptr<KeepAlive>> keepalives;
    // RTP streams, devices, mixing; has its own lock (taken after `lock`).
    std::unique_ptr<media::Engine> media;

    struct Listener {
        SIPX_EVENT_CALLBACK cb;
        void *user;
    };
    std::vector<Listener> listeners;  // guarded by `lock`
    // Held while listeners run; taken by listener removal from other threads
    // so that a removed listener is never running after remove returns.
    std::mutex delivery;

    const uint32_t handle;
    uint16_t sip_port() const { return sock_.local_port(); }
    bool stopping() const { return stopping_; }

private:
    struct Pending {
        int category;
        SIPX_EVENT_INFO info;
        std::string text;
    };

    void run();
    void on_datagram(const char *data, size_t len, const Endpoint &from);
    void on_request(const sip::Message &m, const Endpoint &from);
    void on_response(const sip::Message &m, const Endpoint &from);
    void deliver(std::vector<Pending> &batch);
    void handle_out_of_dialog(const sip::Message &m, const Endpoint &from);
    void reap_finished_calls();
    void take_resolver_answers();

    friend class Call;

    TimerHost timers_;
    TxnLayer txn_;
    UdpSocket sock_;
    UdpSocket wake_sock_;
    uint32_t bind_ip_ = 0;
    std::thread thread_;
    std::thread::id thread_id_;
    std::atomic<bool> quit_{false};
    std::atomic<bool> running_{false};  // the library thread runs (read by API threads)
    bool stopping_ = false;
    std::vector<Pending> pending_;
    std::string public_ip_;
    uint16_t public_port_ = 0;
    std::string to_tag_salt_;
    std::vector<char> rxbuf_;
    bool net_started_ = false;
    std::unique_ptr<Resolver> resolver_;
    struct Waiter {
        std::string host;
        uint64_t owner;
        std::function<void(bool, uint32_t)> fn;
    };
    std::vector<Waiter> waiters_;

public:
    // Builds and sends a response with the headers copied from `req`.
    // `stateless`: sent once and forgotten (no server transaction), for
    // requests we refuse outright.
    void send_response(const sip::Message &req, const Endpoint &from, int code,
                       const std::vector<std::pair<std::string, std::string>> &extra,
                       std::string_view body, std::string_view content_type,
                       std::string_view to_tag, bool stateless = false);
    std::string local_to_tag(const sip::Message &req) const;
};

}  // namespace callctl
