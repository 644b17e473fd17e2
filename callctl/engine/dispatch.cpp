// Incoming SIP on the instance's socket: keep-alive answers, responses to
// their transactions, in-dialog requests to their calls, and the answers
// to requests outside any dialog (this phone takes no calls).
#include "../auth/auth.h"
#include "../base/log.h"
#include "../ua/ua.h"
#include "instance.h"

namespace callctl {

namespace {

const char *const kAllow = Call::kAllow;

// The Require options we do not support, comma-separated ("" when all are).
std::string unsupported_options(const sip::Message &m) {
    std::string out;
    for (const auto &h : m.headers()) {
        if (!sip::iequals(h.name, "Require")) continue;
        sip::for_each_element(h.value, [&](std::string_view el) {
            if (sip::iequals(el, "timer")) return true;  // session timers (RFC 4028)
            if (!out.empty()) out += ", ";
            out.append(el.data(), el.size());
            return true;
        });
    }
    return out;
}

bool is_gbk_charset(std::string_view cs) {
    return sip::iequals(cs, "gbk") || sip::iequals(cs, "gb2312") || sip::iequals(cs, "gb18030") ||
           sip::iequals(cs, "cp936");
}
}  // namespace

void Instance::on_datagram(const char *data, size_t len, const Endpoint &from) {
    bool blank = true;
    for (size_t i = 0; i < len && blank; ++i) blank = data[i] == '\r' || data[i] == '\n';
    if (blank || (static_cast<unsigned char>(data[0]) & 0xC0) == 0) {
        // A keep-alive pong (CRLF) or a STUN answer: the server is there.
        KeepAlive *k = keepalive_for(from);
        if (k && k->is_answer(data, len)) k->answered();
        return;
    }
    on_message(data, len, from);
}

void Instance::on_stream_message(const char *data, size_t len, const Endpoint &from) { on_message(data, len, from); }

void Instance::on_connection_lost(const Endpoint &peer, const std::string &why) {
    (void)why;  // the transport logged it
    txn_.fail_destination(peer);
    // A registration's connection broke: register again at once, over a
    // new connection, as after keep-alives that went unanswered.
    for (auto &kv : lines)
        if (!kv.second->removed && kv.second->registrar_known && kv.second->registrar == peer)
            kv.second->server_silent();
}

void Instance::on_message(const char *data, size_t len, const Endpoint &from) {
    if (log::on(log::Debug)) log::sip_message(false, from, std::string_view(data, len));
    sip::Message m;
    if (len > sip::kMaxMessage || !m.parse(data, len)) {
        CALLCTL_LOG(log::Debug, "not a SIP message we can read: dropped");  // and nothing else
        return;
    }
    if (m.is_request()) on_request(m, from);
    else on_response(m, from);
}

void Instance::on_response(const sip::Message &m, const Endpoint &from) {
    if (txn_.on_response(m)) return;
    if (m.cseq_method() == "OPTIONS") {
        // Keep-alive OPTIONS go out without a transaction; any answer will do.
        if (KeepAlive *k = keepalive_for(from)) k->answered();
        return;
    }
    if (m.status() >= 200 && m.status() < 300 && m.cseq_method() == "INVITE") {
        for (auto &kv : calls)
            if (kv.second->on_stray_2xx(m)) return;
    }
}

void Instance::on_request(const sip::Message &m, const Endpoint &from) {
    std::string_view method = m.method();
    if (method == "ACK") {
        // An ACK of our 2xx goes to its call too: it may carry the answer
        // to the offer in that 2xx.
        txn_.absorb_request(m, from);
        if (m.to_tag().empty()) return;
        for (auto &kv : calls)
            if (kv.second->matches(m)) {
                kv.second->on_request(m, from);
                break;
            }
        return;
    }
    if (txn_.absorb_request(m, from)) return;
    std::string unsupported = method == "CANCEL" ? std::string() : unsupported_options(m);
    if (!unsupported.empty()) {
        send_response(m, from, 420, {{"Unsupported", unsupported}}, {}, {}, local_to_tag(m), true);
        return;
    }
    if (!m.to_tag().empty()) {
        for (auto &kv : calls) {
            if (kv.second->matches(m)) {
                kv.second->on_request(m, from);
                return;
            }
        }
        send_response(m, from, 481, {}, {}, {}, {}, true);
        return;
    }
    handle_out_of_dialog(m, from);
}

void Instance::handle_out_of_dialog(const sip::Message &m, const Endpoint &from) {
    std::string_view method = m.method();
    std::string tag = local_to_tag(m);
    if (method == "INVITE") {
        // This phone places calls; it does not take them. Refused without
        // a server transaction: a flood of INVITEs leaves nothing behind.
        send_response(m, from, 486, {}, {}, {}, tag, true);
    } else if (method == "OPTIONS") {
        send_response(m, from, 200, {{"Allow", kAllow}, {"Accept", "application/sdp, text/plain"}}, {}, {}, tag,
                      true);
    } else if (method == "MESSAGE") {
        // Notices come from the call server: the registrar's address and
        // port, addressed to the Contact we registered there (its token).
        Line *line = line_for_source(from);
        sip::Uri ruri;
        std::string_view token;
        if (line && !(sip::parse_uri(m.request_uri(), &ruri) &&
                      sip::find_param(ruri.params, Line::kContactTokenParam, &token) && token == line->contact_token))
            line = nullptr;
        if (!line) {
            send_response(m, from, 403, {}, {}, {}, tag, true);
            return;
        }
        std::string_view ct = m.value(sip::Hdr::ContentType);
        size_t semi = ct.find(';');
        std::string_view type = sip::trim(ct.substr(0, semi));
        if (!sip::iequals(type, "text/plain")) {
            send_response(m, from, 415, {{"Accept", "text/plain"}}, {}, {}, tag);
            return;
        }
        std::string_view charset;
        std::string text;
        if (semi != std::string_view::npos && sip::find_param(ct.substr(semi), "charset", &charset) &&
            is_gbk_charset(charset))
            text = std::string(m.body());
        else
            text = utf8_to_gbk(m.body());
        send_response(m, from, 200, {}, {}, {}, tag);
        emit_message(line->handle, text);
    } else if (method == "NOTIFY") {
        send_response(m, from, 200, {}, {}, {}, tag, true);
    } else if (method == "BYE" || method == "CANCEL" || method == "UPDATE") {
        send_response(m, from, 481, {}, {}, {}, tag, true);
    } else if (method == "SUBSCRIBE" || method == "REFER" || method == "PUBLISH" || method == "PRACK" ||
               method == "INFO" || method == "REGISTER") {
        send_response(m, from, 405, {{"Allow", kAllow}}, {}, {}, tag, true);
    } else {
        send_response(m, from, 501, {{"Allow", kAllow}}, {}, {}, tag, true);
    }
}

// The same request (a retransmission) gets the same tag, as a stateless
// answer must (RFC 3261 8.2.7); other requests get unguessable ones.
std::string Instance::local_to_tag(const sip::Message &req) const {
    std::string key = to_tag_salt_;
    key.append("|").append(req.call_id()).append("|").append(req.from_tag()).append("|").append(req.top_via().branch);
    return auth::md5_hex(key).substr(0, 12);
}

void Instance::send_response(const sip::Message &req, const Endpoint &from, int code,
                             const std::vector<std::pair<std::string, std::string>> &extra,
                             std::string_view body, std::string_view content_type, std::string_view to_tag,
                             bool stateless) {
    const sip::Via &top = req.top_via();
    sip::Writer w;
    w.status_line(code, {});
    bool first = true;
    for (const auto &h : req.headers()) {
        if (h.id != sip::Hdr::Via) continue;
        sip::for_each_element(h.value, [&](std::string_view el) {
            if (!first) {
                w.header(sip::Hdr::Via, el);
                return true;
            }
            first = false;
            // RFC 3261 18.2.1 received, RFC 3581 rport value.
            std::string v(el);
            if (top.has_rport) {
                size_t at = v.find(";rport");
                size_t end = at == std::string::npos ? at : at + 6;
                if (at != std::string::npos && (end == v.size() || v[end] == ';' || v[end] == ' '))
                    v.insert(end, "=" + std::to_string(from.port));
            }
            std::string src = from.ip_text();
            if (top.has_rport || src != top.host) v += ";received=" + src;
            w.header(sip::Hdr::Via, v);
            return true;
        });
    }
    w.copy(req, sip::Hdr::From);
    std::string to(req.value(sip::Hdr::To));
    if (req.to_tag().empty() && !to_tag.empty() && code > 100) to += ";tag=" + std::string(to_tag);
    w.header(sip::Hdr::To, to);
    w.header(sip::Hdr::CallId, req.call_id());
    w.copy(req, sip::Hdr::CSeq);
    for (const auto &e : extra) w.header(e.first, e.second);
    w.header(sip::Hdr::UserAgent, config.user_agent);
    std::string wire = w.finish(body, content_type);
    Endpoint dest = from;
    if (!top.has_rport) dest.port = top.port ? top.port : 5060;
    if (stateless) send(dest, wire);
    else txn_.respond(req, dest, wire, code);
}

}  // namespace callctl
