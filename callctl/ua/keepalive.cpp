// Keep-alives from the SIP socket: CRLF, STUN binding request or OPTIONS.
// Their answers tell whether the server is there. A keep-alive unanswered
// for its answer wait is followed by a second one at once; when that goes
// unanswered too (and the server answered before), the lines it registers
// check their registration at once, so an outage is reported within
// seconds rather than at the next refresh. A server that answers again
// after an outage gets those lines re-registered.
#include <algorithm>
#include <cstring>

#include "ua.h"

namespace callctl {

// A line registered over a connection has that connection's pings; UDP
// keep-alives say nothing of it.
static bool on_udp(const Line &l, uint32_t ip) {
    return !l.removed && l.registrar_known && l.registrar.ip == ip && l.registrar.transport == Transport::Udp;
}

KeepAlive::KeepAlive(UaHost &ua, int t, std::string h, uint16_t p, int period_s)
    : type(t), host(std::move(h)), port(p), host_(ua), period_s_(period_s), timer_(ua.timers()),
      answer_wait_(ua.timers()) {
    host_.resolver().cached(host, &ip);  // sipxConfigKeepAliveAdd looked it up
    timer_.start(host_.now(), 0, [this] { fire(); });
}

KeepAlive::~KeepAlive() { host_.cancel_resolves(owner()); }

// Resolver owners are handles for lines and calls; keep-alives have none,
// so their address stands in, with the top bit set.
uint64_t KeepAlive::owner() const { return uint64_t(reinterpret_cast<uintptr_t>(this)) | (uint64_t(1) << 63); }

bool KeepAlive::is_answer(const char *data, size_t len) const {
    if (type == 0) return len == 2 && data[0] == '\r' && data[1] == '\n';  // RFC 5626 pong
    // A STUN binding success for the request we sent last.
    return type == 1 && len >= 20 && uint8_t(data[0]) == 0x01 && uint8_t(data[1]) == 0x01 &&
           std::memcmp(data + 8, stun_id_, sizeof stun_id_) == 0;
}

void KeepAlive::answered() {
    bool after_outage = missed_ >= 2;
    missed_ = 0;
    awaiting_ = false;
    ever_answered_ = true;
    answer_wait_.stop();
    host_.for_each_line([&](Line &l) {
        if (on_udp(l, ip)) l.server_back(after_outage);
    });
}

void KeepAlive::unanswered() {
    if (!awaiting_) return;
    awaiting_ = false;
    ++missed_;
    // A server that never answers our kind of keep-alive tells us nothing.
    if (!ever_answered_) return;
    if (missed_ == 1) {
        fire();  // perhaps only that one was lost: ask again now
        return;
    }
    if (missed_ == 2)
        host_.for_each_line([&](Line &l) {
            if (on_udp(l, ip)) l.server_silent();
        });
}

int64_t KeepAlive::answer_wait_ms() const {
    return std::min<int64_t>(kAnswerWaitMs, int64_t(period_s_) * 500);
}

void KeepAlive::set_period(int period_s) {
    period_s_ = period_s;
    timer_.start(host_.now(), int64_t(period_s_) * 1000, [this] { fire(); });
}

void KeepAlive::fire() {
    timer_.start(host_.now(), int64_t(period_s_) * 1000, [this] { fire(); });
    if (ip == 0) {
        // Looked up off the lock; this period's keep-alive goes when it is known.
        host_.resolve(host, owner(), [this](bool ok, uint32_t addr) {
            if (ok && ip == 0) {
                ip = addr;
                fire();
            }
        });
        return;
    }
    // The name may have moved (a registrar found elsewhere by a line's
    // retry): take the cache's answer, or look it up again for next time.
    uint32_t now_ip = 0;
    if (host_.resolver().cached(host, &now_ip)) {
        ip = now_ip;
    } else {
        host_.cancel_resolves(owner());
        host_.resolve(host, owner(), [this](bool ok, uint32_t addr) {
            if (ok) ip = addr;
        });
    }
    awaiting_ = true;
    answer_wait_.start(host_.now(), answer_wait_ms(), [this] { unanswered(); });
    Endpoint to{ip, port};
    if (type == 0) {
        host_.send_raw(to, "\r\n\r\n", 4);
    } else if (type == 1) {
        unsigned char req[20] = {0x00, 0x01, 0x00, 0x00, 0x21, 0x12, 0xA4, 0x42};
        for (int i = 8; i < 20; i += 4) {
            uint32_t r = random_u32();
            std::memcpy(req + i, &r, 4);
        }
        std::memcpy(stun_id_, req + 8, sizeof stun_id_);
        host_.send_raw(to, req, sizeof req);
    } else {
        // A bare OPTIONS: its answer (if any) matches no transaction and is
        // dropped; a lost one is simply sent again next period.
        std::string uri = "sip:" + host + ":" + std::to_string(port);
        std::string from = "<sip:" + host_.config.identity + "@" + host_.contact_host_port(to) + ">";
        sip::Writer w;
        w.request_line("OPTIONS", uri);
        w.header(sip::Hdr::Via, via_value(to.transport, host_.via_sent_by(to), true, host_.new_branch()));
        w.header(sip::Hdr::MaxForwards, 70);
        w.header(sip::Hdr::From, from + ";tag=" + random_token(8));
        w.header(sip::Hdr::To, "<" + uri + ">");
        w.header(sip::Hdr::CallId, random_token(20) + "@callctl");
        w.header(sip::Hdr::CSeq, "1 OPTIONS");
        w.header(sip::Hdr::UserAgent, host_.config.user_agent);
        std::string wire = w.finish();
        host_.send(to, wire);
    }
}

}  // namespace callctl
