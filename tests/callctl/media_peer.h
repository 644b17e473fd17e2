// Test peers for calls with audio: a small SIP callee that answers every
// INVITE with a description the test chooses (and can bridge two callers'
// media to each other), and RTP probes that record what arrives.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/base.h"

namespace testing_callctl {

struct RtpPacket {
    callctl::Endpoint from;
    bool marker;
    int pt;
    uint16_t seq;
    uint32_t ts;
    uint32_t ssrc;
    std::vector<uint8_t> payload;
    int64_t at_ms;
};

// A UDP socket on 127.0.0.1 that keeps every RTP packet it receives.
class RtpProbe {
public:
    // port 0: any free one (port() is 0 when the one asked for was taken).
    explicit RtpProbe(uint32_t ip = 0x7f000001, uint16_t port = 0);
    ~RtpProbe();
    uint16_t port() const { return sock_.local_port(); }
    std::vector<RtpPacket> packets() const;
    void clear();
    // Sends an RTP packet from this socket.
    void send(const callctl::Endpoint &to, int pt, uint16_t seq, uint32_t ts, uint32_t ssrc,
              const std::vector<uint8_t> &payload, bool marker = false);
    // Sends any datagram (RTCP, junk) from this socket.
    void send_raw(const callctl::Endpoint &to, const uint8_t *data, size_t n);
    size_t count() const;

private:
    void run();
    callctl::UdpSocket sock_;
    std::thread thread_;
    std::atomic<bool> quit_{false};
    mutable std::mutex m_;
    std::vector<RtpPacket> got_;
};

// The callee. For each INVITE it asks `answer` for the media address and
// format lines of its description; in bridge mode it holds the first
// caller's INVITE until a second one arrives and then gives each caller
// the other's offered address.
class SipPeer {
public:
    struct Media {
        std::string ip = "127.0.0.1";
        uint16_t port = 0;
        std::string formats = "0 97";  // m= line formats
        std::string attrs = "a=rtpmap:0 PCMU/8000\r\na=rtpmap:97 telephone-event/8000\r\n";
        std::string direction;         // "a=sendonly" etc., or empty
        std::string proto = "RTP/AVP";
    };
    SipPeer();
    ~SipPeer();
    uint16_t port() const { return sock_.local_port(); }
    // Callee modes. A bridge hands each caller of RTP/SAVP the other one's
    // offered tag-1 key (RFC 4568 SDES): each sends with its own key and
    // receives with the other's, as two ends of one call.
    void answer_with(std::function<Media(const std::string &offer)> fn) { answer_ = std::move(fn); }
    void bridge() { bridge_ = true; }
    void bridge(const Media &formats) {
        bridge_ = true;
        bridge_media_ = formats;
    }
    // Sends 183 with a description first and holds the 200 until release_200().
    void early_media(bool on) { early_ = on; }
    void release_200() { hold_200_ = false; }
    // Ends the last dialog with a BYE.
    bool send_bye();
    int invites() const { return invites_; }
    std::string last_offer() const;

private:
    struct Pending {
        std::string invite;
        callctl::Endpoint from;
        std::string offer;
        uint16_t offer_port = 0;
    };
    void run();
    void on_message(const std::string &data, const callctl::Endpoint &from);
    void respond(const std::string &req, const callctl::Endpoint &to, int code, const std::string &sdp);
    std::string sdp_for(const Media &m);

    callctl::UdpSocket sock_;
    std::thread thread_;
    std::atomic<bool> quit_{false};
    mutable std::mutex m_;
    std::function<Media(const std::string &)> answer_;
    bool bridge_ = false;
    Media bridge_media_;
    std::atomic<bool> early_{false}, hold_200_{true};
    std::vector<Pending> waiting_;
    std::vector<Pending> held_;  // early media: 200 not sent yet
    int invites_ = 0;
    std::string last_offer_;
    // last dialog, for BYE
    std::string dlg_call_id_, dlg_from_, dlg_to_, dlg_contact_;
    callctl::Endpoint dlg_peer_;
};

}  // namespace testing_callctl
