// The instance: construction, start and stop, the library thread, and the
// event queue with its delivery to the program's listeners. Incoming SIP is
// dispatched in dispatch.cpp; what the layers below ask of the instance is
// in services.cpp.
#include "instance.h"

#include <chrono>

#include "../base/boundary.h"
#include "../base/log.h"
#include "../ua/ua.h"

namespace callctl {

namespace {
std::atomic<uint32_t> g_next_handle{0x100};

const char *state_text(uint32_t state) {
    switch (state) {
    case SIPX_CALLSTATE_DIALTONE: return "created";
    case SIPX_CALLSTATE_REMOTE_OFFERING: return "calling";
    case SIPX_CALLSTATE_REMOTE_ALERTING: return "ringing";
    case SIPX_CALLSTATE_CONNECTED: return "connected";
    case SIPX_CALLSTATE_HELD: return "held";
    case SIPX_CALLSTATE_HOLD_FAILED: return "hold or unhold failed";
    case SIPX_CALLSTATE_DISCONNECTED: return "disconnected";
    case SIPX_CALLSTATE_DESTROYED: return "destroyed";
    case SIPX_LINESTATE_REGISTERING: return "registering";
    case SIPX_LINESTATE_REGISTERED: return "registered";
    case SIPX_LINESTATE_UNREGISTERING: return "unregistering";
    case SIPX_LINESTATE_UNREGISTERED: return "unregistered";
    case SIPX_LINESTATE_REGISTER_FAILED: return "registration failed";
    default: return "?";
    }
}

const char *cause_text(uint32_t cause) {
    static const char *const names[] = {"normal",    "local hang-up", "remote hang-up", "busy",
                                        "rejected",  "redirected",    "no response",    "authentication failed",
                                        "forbidden", "not found",     "network",        "cancelled",
                                        "media timeout", "session expired"};
    return cause < sizeof names / sizeof names[0] ? names[cause] : "?";
}

// "SIP 486, cause busy" or "cause local hang-up".
std::string outcome_text(uint32_t cause, int sip_status) {
    std::string t = sip_status ? "SIP " + std::to_string(sip_status) + ", " : std::string();
    return t + "cause " + cause_text(cause);
}

}  // namespace

uint32_t new_handle() { return g_next_handle.fetch_add(1); }

namespace {
// The longest wait of the library thread with no timer armed (a bound for the
// wait's argument, not a wake-up that anything needs).
constexpr int64_t kIdleWaitMs = 3600 * 1000;
}  // namespace

Instance::Instance(uint32_t h)
    : media(std::make_unique<media::Engine>()), handle(h), txn_(*this), transport_(*this, sock_), rxbuf_(sip::kMaxMessage + 1),
      resolver_(std::make_unique<Resolver>([this] { wake(); })) {
    to_tag_salt_ = random_token(16);
    // A timer armed by an API thread may be due before the library thread's
    // current wait ends.
    timers_.on_earlier = [this] {
        if (running_ && !on_library_thread()) wake();
    };
}

Instance::~Instance() {
    // Objects holding timers and transactions go before the layers they use.
    calls.clear();
    media->stop();
    lines.clear();
    confs.clear();
    keepalives.clear();
    if (net_started_) net_cleanup();
}

SIPX_RESULT Instance::start(uint32_t bind_ip, uint16_t port) {
    if (!net_startup()) {
        CALLCTL_LOG(log::Error, "network start-up failed");
        return SIPX_RESULT_NETWORK_FAILURE;
    }
    net_started_ = true;
    bind_ip_ = bind_ip;
    transport_.set_bind_ip(bind_ip);
    if (!sock_.open(bind_ip, port) || !wake_sock_.open(0x7f000001, 0)) {
        CALLCTL_LOG(log::Error, "SIP port %s could not be bound", Endpoint{bind_ip, port}.text().c_str());
        return SIPX_RESULT_NETWORK_FAILURE;
    }
    CALLCTL_LOG(log::Info, "instance %u started, SIP on %s", unsigned(handle),
                Endpoint{bind_ip, sock_.local_port()}.text().c_str());
    media->start();
    std::lock_guard<std::mutex> g(lock);
    thread_ = std::thread(&Instance::run, this);
    thread_id_ = thread_.get_id();
    running_ = true;
    return SIPX_RESULT_SUCCESS;
}

void Instance::wake() {
    char b = 1;
    wake_sock_.send_to(Endpoint{0x7f000001, wake_sock_.local_port()}, &b, 1);
}

void Instance::stop() {
    if (!thread_.joinable()) return;
    {
        std::lock_guard<std::mutex> g(lock);
        stopping_ = true;
        for (auto &kv : calls)
            if (!kv.second->released) kv.second->release();
        // BYEs waiting for a lookup go now, to the first destination.
        for (auto &kv : calls) kv.second->give_up_lookups();
        for (auto &kv : lines) kv.second->shutdown();
        keepalives.clear();
    }
    wake();
    // Let BYE, CANCEL and un-REGISTER get their answers, within bounds.
    int64_t deadline = now_ms() + timer_settings_.shutdown_wait;
    while (now_ms() < deadline) {
        {
            std::lock_guard<std::mutex> g(lock);
            if (txn_.pending_clients() == 0) break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    quit_ = true;
    running_ = false;
    wake();
    thread_.join();
    media->stop();  // every stream ended, every recording finalised
    resolver_->shutdown();  // no more wake-ups from its worker
    std::lock_guard<std::mutex> g(lock);
    calls.clear();
    lines.clear();
    confs.clear();
    pending_.clear();
    waiters_.clear();
    transport_.close_all();
    sock_.close();
    wake_sock_.close();
    CALLCTL_LOG(log::Info, "instance %u stopped", unsigned(handle));
}

void Instance::run() {
    { std::lock_guard<std::mutex> g(lock); }  // start() has set thread_id_
    name_this_thread("callctl-sip");
    std::vector<WaitItem> items;
    while (!quit_) {
        // Asleep until a datagram, a connection's bytes or the next timer:
        // whatever else needs the thread (an API call's events, a timer that
        // became the earliest, a lookup's answer, stop) wakes it through
        // wake_sock_, so an idle instance does not wake.
        int64_t delay;
        items.assign(2, WaitItem{});
        {
            std::lock_guard<std::mutex> g(lock);
            delay = timers_.next_delay(now(), kIdleWaitMs);
            items[0].fd = sock_.fd();
            items[1].fd = wake_sock_.fd();
            transport_.wait_items(items);
        }
        if (!wait_items(items.data(), items.size(), int(delay)))
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::vector<Pending> batch;
        {
            std::lock_guard<std::mutex> g(lock);
            if (items[1].readable) {
                char b[64];
                Endpoint from;
                while (wake_sock_.recv_from(b, sizeof b, &from) > 0) {
                }
            }
            // A bounded batch per turn, so a flood of datagrams never keeps
            // the lock from API calls for long.
            if (items[0].readable) {
                for (int i = 0; i < 32; ++i) {
                    Endpoint from;
                    int n = sock_.recv_from(rxbuf_.data(), rxbuf_.size(), &from);
                    if (n == 0) break;
                    if (n < 0) continue;
                    on_datagram(rxbuf_.data(), size_t(n), from);
                }
            }
            // A connection may close while another is handled: each is
            // found again by its socket.
            for (size_t i = 2; i < items.size(); ++i)
                if (items[i].readable || items[i].writable) transport_.on_ready(items[i]);
            take_resolver_answers();
            timers_.run_due(now());
            reap_finished_calls();
            batch.swap(pending_);
        }
        if (!batch.empty()) deliver(batch);
    }
}

void Instance::deliver(std::vector<Pending> &batch) {
    std::lock_guard<std::mutex> d(delivery);
    for (auto &p : batch) {
        std::vector<Listener> ls;
        {
            std::lock_guard<std::mutex> g(lock);
            ls = listeners;
        }
        if (p.category == SIPX_EVENT_CATEGORY_MESSAGE) {
            p.info.szText = p.text.c_str();
            p.info.event = uint32_t(reinterpret_cast<uintptr_t>(p.info.szText));
        }
        for (const auto &l : ls) {
            // A listener removed by an earlier one in this round is skipped.
            bool still = false;
            {
                std::lock_guard<std::mutex> g(lock);
                for (const auto &x : listeners)
                    if (x.cb == l.cb && x.user == l.user) still = true;
            }
            if (still && !call_out([&] { l.cb(p.category, &p.info, l.user); }))
                CALLCTL_LOG(log::Error, "a listener threw an exception; delivery goes on");
        }
    }
}

void Instance::emit_call(SIPX_CALL call, SIPX_LINE line, uint32_t state, uint32_t cause, int sip_status) {
    CALLCTL_LOG(log::Info, "call %u (line %u): %s, %s", unsigned(call), unsigned(line), state_text(state),
                outcome_text(cause, sip_status).c_str());
    Pending p{SIPX_EVENT_CATEGORY_CALLSTATE, {}, {}};
    p.info.cbSize = sizeof(SIPX_EVENT_INFO);
    p.info.hCall = call;
    p.info.hLine = line;
    p.info.event = state;
    p.info.cause = cause;
    p.info.sipStatus = uint32_t(sip_status);
    pending_.push_back(std::move(p));
    if (!on_library_thread()) wake();
}

void Instance::emit_line(SIPX_LINE line, uint32_t state, uint32_t cause, int sip_status) {
    int level = state == SIPX_LINESTATE_REGISTER_FAILED ? log::Warning : log::Info;
    if (log::on(level)) {
        Line *l = find_line(line);
        log::linef(level, "line %u <%s>: %s, %s", unsigned(line), l ? l->id.uri.c_str() : "?", state_text(state),
                   outcome_text(cause, sip_status).c_str());
    }
    Pending p{SIPX_EVENT_CATEGORY_LINESTATE, {}, {}};
    p.info.cbSize = sizeof(SIPX_EVENT_INFO);
    p.info.hLine = line;
    p.info.event = state;
    p.info.cause = cause;
    p.info.sipStatus = uint32_t(sip_status);
    pending_.push_back(std::move(p));
    if (!on_library_thread()) wake();
}

void Instance::emit_message(SIPX_LINE line, const std::string &gbk_text) {
    Pending p{SIPX_EVENT_CATEGORY_MESSAGE, {}, gbk_text};
    p.info.cbSize = sizeof(SIPX_EVENT_INFO);
    p.info.hLine = line;
    pending_.push_back(std::move(p));
    if (!on_library_thread()) wake();
}

}  // namespace callctl
