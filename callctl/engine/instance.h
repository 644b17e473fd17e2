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
#include "../base/resolver.h"
#include "../base/timer.h"
#include "../include/callctl.h"
#include "../media/media.h"
#include "../sip/sip.h"
#include "../transport/transport.h"
#include "../txn/txn.h"
#include "../ua/host.h"

namespace callctl {

class Line;
class Call;
class Conference;
class KeepAlive;

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

// Handles are unique across all kinds and instances, never 0, never reused.
uint32_t new_handle();

// The instance runs the transactions and the user-agent usages, which reach
// it through TxnHost and UaHost (with CallMedia, forwarded to its media
// engine).
class Instance final : public UaHost, public TransportHost {
public:
    Instance(uint32_t handle);
    ~Instance();

    // Binds the SIP socket and starts the library thread.
    SIPX_RESULT start(uint32_t bind_ip, uint16_t port);
    // Ends calls and registrations, waits for their answers (bounded),
    // stops the thread. Must not be called on the library thread.
    void stop();
    bool on_library_thread() const { return std::this_thread::get_id() == thread_id_; }

    // ---- used by the layers, with `lock` held (see TxnHost, UaHost) ------
    int64_t now() const override { return now_ms(); }
    TimerHost &timers() override { return timers_; }
    const TimerSettings &timer_settings() const override { return timer_settings_; }
    TxnLayer &txn() override { return txn_; }
    bool send(const Endpoint &to, const std::string &wire) override;
    bool send_raw(const Endpoint &to, const void *data, size_t len) override;

    std::string via_sent_by(const Endpoint &dest) override;
    std::string contact_host_port(const Endpoint &dest) override;
    std::string local_ip_for(const Endpoint &dest) override;
    std::string contact_params(const Endpoint &dest) override;
    bool learn_address(const sip::Message &resp) override;
    void forget_public_address() override;
    void line_moved(uint32_t line) override;

    void emit_call(SIPX_CALL call, SIPX_LINE line, uint32_t state, uint32_t cause, int sip_status) override;
    void emit_line(SIPX_LINE line, uint32_t state, uint32_t cause, int sip_status) override;
    void emit_message(SIPX_LINE line, const std::string &gbk_text);
    // TransportHost: what comes in on connections, and their end.
    void on_stream_message(const char *data, size_t len, const Endpoint &from) override;
    void on_connection_lost(const Endpoint &peer, const std::string &why) override;
    SipTransport &transport() override { return transport_; }
    void wake();

    Line *find_line(uint32_t h);
    Call *find_call(uint32_t h);  // live (not released) calls only
    Conference *find_conf(uint32_t h);
    // The line whose registrar is exactly this address and port.
    Line *line_for_source(const Endpoint &from);
    KeepAlive *keepalive_for(const Endpoint &from);

    // Host names (see UaHost); the answers come in on the library thread.
    Resolver &resolver() override { return *resolver_; }
    void resolve(const std::string &host, uint64_t owner, std::function<void(bool, uint32_t)> fn,
                 bool fresh = false) override;
    void cancel_resolves(uint64_t owner) override;
    void locate(const std::string &domain, uint64_t owner,
                std::function<void(const std::vector<SipTarget> &)> fn) override;
    uint32_t bind_ip() const override { return bind_ip_; }
    void for_each_line(const std::function<void(Line &)> &fn) override;
    size_t live_calls() const;

    // CallMedia: the calls' streams and offer/answer, from the media engine.
    uint16_t open_stream(uint32_t call, uint32_t bind_ip, uint16_t first_port, int pairs) override;
    void close_stream(uint32_t call) override;
    void configure_stream(uint32_t call, const sdp::Remote &peer, const sdp::SrtpKeys &srtp) override;
    void set_stream_hold(uint32_t call, bool held) override;
    int64_t stream_quiet_ms(uint32_t call, int64_t now, bool *may_pause) override;
    std::vector<sdp::Payload> offer_payloads(const std::string &codec) override;
    std::vector<sdp::Payload> answer_payloads(const sdp::Remote &offer) override;
    sdp::Direction answer_direction(sdp::Direction offered, bool local_hold) override;

    // SRTP for the calls made from now on (Config::srtp, see SrtpMode): not
    // in the C interface; for the code that knows a line's signalling is
    // protected, and for tests. Takes `lock`.
    void set_srtp_mode(SrtpMode mode);

    std::mutex lock;
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
    void on_message(const char *data, size_t len, const Endpoint &from);
    void on_request(const sip::Message &m, const Endpoint &from);
    void on_response(const sip::Message &m, const Endpoint &from);
    void deliver(std::vector<Pending> &batch);
    void handle_out_of_dialog(const sip::Message &m, const Endpoint &from);
    void reap_finished_calls();
    void take_resolver_answers();

    TimerHost timers_;
    TxnLayer txn_;
    UdpSocket sock_;
    UdpSocket wake_sock_;
    SipTransport transport_;
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
    struct LocateWaiter {
        std::string domain;
        uint64_t owner;
        std::function<void(const std::vector<SipTarget> &)> fn;
    };
    std::vector<LocateWaiter> locate_waiters_;

public:
    void send_response(const sip::Message &req, const Endpoint &from, int code,
                       const std::vector<std::pair<std::string, std::string>> &extra,
                       std::string_view body, std::string_view content_type,
                       std::string_view to_tag, bool stateless = false) override;
    std::string local_to_tag(const sip::Message &req) const;
};

}  // namespace callctl
