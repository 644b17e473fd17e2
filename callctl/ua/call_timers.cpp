// Session timers of a call (RFC 4028). Our INVITE asks for
// Session-Expires (1800 s by default) with Min-SE and "Supported: timer";
// the 2xx says the interval and who refreshes:
//   we refresh   -> a re-INVITE with the unchanged description at half the
//                   interval (a failure follows the re-INVITE rules)
//   peer refreshes -> its re-INVITE or UPDATE restarts the interval
// Either way, with no refresh the call is ended with BYE at the interval
// less min(32 s, a third of it). A 2xx without Session-Expires means no
// session timer; a 422 is answered with its Min-SE.
#include <algorithm>

#include "../base/log.h"
#include "ua.h"

namespace callctl {

namespace {

// "1800;refresher=uac" -> 1800 and "uac"; false when there is no number.
bool session_expires_of(const sip::Message &m, uint32_t *interval, std::string_view *refresher) {
    const sip::HeaderField *h = m.find("Session-Expires");
    if (!h) h = m.find("x");
    if (!h) return false;
    std::string_view v = h->value;
    size_t semi = v.find(';');
    uint64_t n = 0;
    if (!sip::parse_uint(sip::trim(v.substr(0, semi)), 0xffffffffu, &n) || n == 0) return false;
    *interval = uint32_t(std::min<uint64_t>(n, 86400));
    *refresher = {};
    if (semi != std::string_view::npos) sip::find_param(v.substr(semi), "refresher", refresher);
    return true;
}

bool supports_timer(const sip::Message &m) {
    for (const auto &h : m.headers()) {
        if (h.id != sip::Hdr::Supported && !sip::iequals(h.name, "Require")) continue;
        bool found = false;
        sip::for_each_element(h.value, [&](std::string_view el) {
            found = found || sip::iequals(el, "timer");
            return !found;
        });
        if (found) return true;
    }
    return false;
}

}  // namespace

Call::Headers Call::session_timer_request_headers() const {
    Headers h{{"Supported", "timer"}};
    if (state_ != State::Connected) {
        h.emplace_back("Session-Expires", std::to_string(session_asked_));
        h.emplace_back("Min-SE", std::to_string(session_min_se_));
    } else if (session_interval_) {
        h.emplace_back("Session-Expires",
                       std::to_string(session_interval_) + ";refresher=" + (we_refresh_ ? "uac" : "uas"));
        h.emplace_back("Min-SE", std::to_string(session_min_se_));
    }
    return h;
}

void Call::session_timer_from_response(const sip::Message &resp) {
    uint32_t interval = 0;
    std::string_view refresher;
    if (!session_expires_of(resp, &interval, &refresher)) {
        stop_session_timer();
        return;
    }
    session_interval_ = interval;
    we_refresh_ = !sip::iequals(refresher, "uas");  // in our request we are the UAC
    arm_session_timer();
}

Call::Headers Call::session_timer_from_request(const sip::Message &req) {
    uint32_t interval = 0;
    std::string_view refresher;
    if (!session_expires_of(req, &interval, &refresher)) {
        stop_session_timer();
        return {};
    }
    bool peer_supports = supports_timer(req);
    bool peer_refreshes = sip::iequals(refresher, "uac") || (refresher.empty() && peer_supports);
    session_interval_ = interval;
    we_refresh_ = !peer_refreshes;
    arm_session_timer();
    Headers h{{"Session-Expires", std::to_string(interval) + (peer_refreshes ? ";refresher=uac" : ";refresher=uas")}};
    if (peer_supports) h.emplace_back("Require", "timer");
    return h;
}

void Call::arm_session_timer() {
    if (!session_interval_ || state_ != State::Connected || released) return;
    int64_t interval = int64_t(session_interval_) * 1000;
    int64_t now = host_.now();
    if (we_refresh_) {
        session_refresh_.start(now, interval / 2, [this] { refresh_session(); });
    } else {
        session_refresh_.stop();
    }
    int64_t guard = std::min<int64_t>(32000, interval / 3);
    session_expiry_.start(now, interval - guard, [this] {
        if (state_ != State::Connected || released) return;
        CALLCTL_LOG(log::Info, "call %u: session interval of %u s passed without a refresh", unsigned(handle),
                    unsigned(session_interval_));
        disconnected(SIPX_CAUSE_SESSION_EXPIRED, 0);
        send_bye();
    });
}

void Call::refresh_session() {
    if (state_ != State::Connected || released) return;
    if (reinvite_pending_) {
        // A re-INVITE of ours is under way and refreshes when it succeeds;
        // look again shortly in case it does not.
        int64_t again = std::max<int64_t>(int64_t(session_interval_) * 1000 / 16, 100);
        session_refresh_.start(host_.now(), again, [this] { refresh_session(); });
        return;
    }
    start_reinvite(Purpose::Refresh, local_dir_);
}

void Call::stop_session_timer() {
    session_interval_ = 0;
    session_refresh_.stop();
    session_expiry_.stop();
}

}  // namespace callctl
