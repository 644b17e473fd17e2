#include "media_peer.h"

#include <chrono>

#include "rtp/rtp.h"
#include "sdp/sdp.h"
#include "sip/sip.h"

namespace testing_callctl {

using callctl::Endpoint;

// ---- RTP probe ----------------------------------------------------------------

RtpProbe::RtpProbe(uint32_t ip, uint16_t port) {
    callctl::net_startup();
    sock_.open(ip, port);
    thread_ = std::thread(&RtpProbe::run, this);
}

RtpProbe::~RtpProbe() {
    quit_ = true;
    thread_.join();
    sock_.close();
    callctl::net_cleanup();
}

void RtpProbe::run() {
    callctl::UdpSocket *s[1] = {&sock_};
    uint8_t buf[2048];
    while (!quit_) {
        bool ready = false;
        if (!callctl::wait_readable(s, 1, 20, &ready) || !ready) continue;
        Endpoint from;
        int n;
        while ((n = sock_.recv_from(buf, sizeof buf, &from)) > 0) {
            callctl::rtp::Header h;
            const uint8_t *p;
            size_t pn;
            if (!callctl::rtp::parse(buf, size_t(n), &h, &p, &pn)) continue;
            RtpPacket pk{from, h.marker, h.pt, h.seq, h.ts, h.ssrc, std::vector<uint8_t>(p, p + pn), callctl::now_ms()};
            std::lock_guard<std::mutex> g(m_);
            got_.push_back(std::move(pk));
        }
    }
}

std::vector<RtpPacket> RtpProbe::packets() const {
    std::lock_guard<std::mutex> g(m_);
    return got_;
}

size_t RtpProbe::count() const {
    std::lock_guard<std::mutex> g(m_);
    return got_.size();
}

void RtpProbe::clear() {
    std::lock_guard<std::mutex> g(m_);
    got_.clear();
}

void RtpProbe::send(const Endpoint &to, int pt, uint16_t seq, uint32_t ts, uint32_t ssrc,
                    const std::vector<uint8_t> &payload, bool marker) {
    callctl::rtp::Header h;
    h.marker = marker;
    h.pt = uint8_t(pt);
    h.seq = seq;
    h.ts = ts;
    h.ssrc = ssrc;
    uint8_t pkt[2048];
    size_t n = callctl::rtp::write(h, payload.data(), payload.size(), pkt, sizeof pkt);
    sock_.send_to(to, pkt, n);
}

void RtpProbe::send_raw(const Endpoint &to, const uint8_t *data, size_t n) { sock_.send_to(to, data, n); }

// ---- SIP callee ------------------------------------------------------------------

SipPeer::SipPeer() {
    callctl::net_startup();
    sock_.open(0x7f000001, 0);
    thread_ = std::thread(&SipPeer::run, this);
}

SipPeer::~SipPeer() {
    quit_ = true;
    thread_.join();
    sock_.close();
    callctl::net_cleanup();
}

std::string SipPeer::last_offer() const {
    std::lock_guard<std::mutex> g(m_);
    return last_offer_;
}

void SipPeer::run() {
    callctl::UdpSocket *s[1] = {&sock_};
    char buf[65536];
    while (!quit_) {
        bool ready = false;
        if (callctl::wait_readable(s, 1, 10, &ready) && ready) {
            Endpoint from;
            int n;
            while ((n = sock_.recv_from(buf, sizeof buf, &from)) > 0) on_message(std::string(buf, size_t(n)), from);
        }
        if (!hold_200_) {
            std::vector<Pending> go;
            {
                std::lock_guard<std::mutex> g(m_);
                go.swap(held_);
            }
            for (auto &p : go) {
                Media m = answer_ ? answer_(p.offer) : Media();
                respond(p.invite, p.from, 200, sdp_for(m));
            }
        }
    }
}

std::string SipPeer::sdp_for(const Media &m) {
    return "v=0\r\no=peer 1 1 IN IP4 " + m.ip + "\r\ns=-\r\nc=IN IP4 " + m.ip + "\r\nt=0 0\r\nm=audio " +
           std::to_string(m.port) + " " + m.proto + " " + m.formats + "\r\n" + m.attrs +
           (m.direction.empty() ? "" : m.direction + "\r\n");
}

void SipPeer::respond(const std::string &req, const Endpoint &to, int code, const std::string &sdp) {
    callctl::sip::Message m;
    if (!m.parse(req)) return;
    callctl::sip::Writer w;
    w.status_line(code, {});
    w.copy(m, callctl::sip::Hdr::Via);
    w.copy(m, callctl::sip::Hdr::From);
    std::string t(m.value(callctl::sip::Hdr::To));
    if (m.to_tag().empty()) t += ";tag=peer" + std::string(m.call_id().substr(0, 6));
    w.header(callctl::sip::Hdr::To, t);
    w.header(callctl::sip::Hdr::CallId, m.call_id());
    w.copy(m, callctl::sip::Hdr::CSeq);
    w.header(callctl::sip::Hdr::Contact, "<sip:peer@127.0.0.1:" + std::to_string(port()) + ">");
    std::string wire = sdp.empty() ? w.finish() : w.finish(sdp, "application/sdp");
    sock_.send_to(to, wire.data(), wire.size());
    if (m.method() == "INVITE" && code == 200) {
        std::lock_guard<std::mutex> g(m_);
        dlg_call_id_ = std::string(m.call_id());
        dlg_from_ = t;
        dlg_to_ = std::string(m.value(callctl::sip::Hdr::From));
        callctl::sip::NameAddr na;
        if (callctl::sip::parse_name_addr(m.value(callctl::sip::Hdr::Contact), &na)) dlg_contact_ = std::string(na.uri_text);
        dlg_peer_ = to;
    }
}

void SipPeer::on_message(const std::string &data, const Endpoint &from) {
    callctl::sip::Message m;
    if (!m.parse(data) || !m.is_request()) return;
    std::string method(m.method());
    if (method == "ACK") return;
    if (method != "INVITE") {
        respond(data, from, 200, {});
        return;
    }
    std::string offer(m.body());
    {
        std::lock_guard<std::mutex> g(m_);
        ++invites_;
        last_offer_ = offer;
    }
    if (!m.to_tag().empty()) {  // re-INVITE: answer with what we would answer
        Media md = answer_ ? answer_(offer) : Media();
        callctl::sdp::Remote r;
        if (callctl::sdp::parse(offer, &r) && r.direction == callctl::sdp::Direction::SendOnly) md.direction = "a=recvonly";
        respond(data, from, 200, sdp_for(md));
        return;
    }
    if (bridge_) {
        callctl::sdp::Remote r;
        callctl::sdp::parse(offer, &r);
        Pending p{data, from, offer, r.port};
        std::vector<Pending> both;
        {
            std::lock_guard<std::mutex> g(m_);
            for (const auto &w : waiting_)
                if (w.invite == data) return;  // a retransmission
            waiting_.push_back(p);
            if (waiting_.size() < 2) return;
            both.swap(waiting_);
        }
        for (int i = 0; i < 2; ++i) {
            Media md = bridge_media_;
            md.port = both[1 - i].offer_port;
            const std::string &other = both[1 - i].offer;
            size_t key = other.find("a=crypto:1 ");
            if (other.find(" RTP/SAVP ") != std::string::npos && key != std::string::npos) {
                md.proto = "RTP/SAVP";
                md.attrs += other.substr(key, other.find("\r\n", key) + 2 - key);
            }
            respond(both[i].invite, both[i].from, 200, sdp_for(md));
        }
        return;
    }
    Media md = answer_ ? answer_(offer) : Media();
    if (early_) {
        respond(data, from, 183, sdp_for(md));
        std::lock_guard<std::mutex> g(m_);
        for (const auto &h : held_)
            if (h.invite == data) return;
        held_.push_back({data, from, offer, 0});
        return;
    }
    respond(data, from, 200, sdp_for(md));
}

bool SipPeer::send_bye() {
    std::string call_id, from, to, contact;
    Endpoint peer;
    {
        std::lock_guard<std::mutex> g(m_);
        call_id = dlg_call_id_;
        from = dlg_from_;
        to = dlg_to_;
        contact = dlg_contact_;
        peer = dlg_peer_;
    }
    if (call_id.empty()) return false;
    callctl::sip::Writer w;
    w.request_line("BYE", contact);
    w.header(callctl::sip::Hdr::Via, "SIP/2.0/UDP 127.0.0.1:" + std::to_string(port()) + ";branch=z9hG4bKpeerbye" +
                                         std::to_string(callctl::now_ms()));
    w.header(callctl::sip::Hdr::MaxForwards, 70);
    w.header(callctl::sip::Hdr::From, from);
    w.header(callctl::sip::Hdr::To, to);
    w.header(callctl::sip::Hdr::CallId, call_id);
    w.header(callctl::sip::Hdr::CSeq, "20 BYE");
    std::string wire = w.finish();
    return sock_.send_to(peer, wire.data(), wire.size());
}

}  // namespace testing_callctl
