// TLS client sessions through SChannel (Windows): credentials for TLS 1.2
// and 1.3 with our own certificate check (tls_verify.h), the handshake
// through InitializeSecurityContext, records through EncryptMessage and
// DecryptMessage. The session owns its credentials and its context and
// frees both when it goes.
//
// While the handshake runs, the server's records are still plaintext up to
// its ChangeCipherSpec: the session reads the protocol version of the
// ServerHello and any alert from them itself, so a refusal says why (an
// old protocol, the server's alert) whatever error code SChannel gives.
#include "tls.h"

#ifndef SECURITY_WIN32
#define SECURITY_WIN32
#endif
#define SCHANNEL_USE_BLACKLISTS  // SCH_CREDENTIALS
#include <windows.h>
#include <subauth.h>
#include <wincrypt.h>
#include <schannel.h>
#include <security.h>
#include <sspi.h>

#include <cstdio>
#include <cstring>

#include "tls_verify.h"

namespace callctl::tls {

Session::~Session() = default;

namespace {

constexpr DWORD kProtocols = SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT;
constexpr DWORD kClientProtocols = SP_PROT_CLIENTS | SP_PROT_TLS1_X_CLIENT | SP_PROT_DTLS1_X_CLIENT;
constexpr unsigned long kContextFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                                        ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM | ISC_REQ_EXTENDED_ERROR |
                                        ISC_REQ_MANUAL_CRED_VALIDATION;
// Calls of InitializeSecurityContext over the input at hand: a flight of
// many records may take one each, a client certificate request (answered
// with none) one more; a handshake that goes on beyond this fails.
constexpr int kMaxRounds = 64;

std::string hex(unsigned long v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08lx", v);
    return buf;
}

std::string status_text(SECURITY_STATUS s) {
    const char *name = nullptr;
    switch (static_cast<unsigned long>(s)) {
    case 0x80090302UL: name = "SEC_E_UNSUPPORTED_FUNCTION"; break;
    case 0x80090304UL: name = "SEC_E_INTERNAL_ERROR"; break;
    case 0x80090308UL: name = "SEC_E_INVALID_TOKEN"; break;
    case 0x80090311UL: name = "SEC_E_NO_AUTHENTICATING_AUTHORITY"; break;
    case 0x80090317UL: name = "SEC_E_CONTEXT_EXPIRED"; break;
    case 0x80090321UL: name = "SEC_E_BUFFER_TOO_SMALL"; break;
    case 0x80090326UL: name = "SEC_E_ILLEGAL_MESSAGE"; break;
    case 0x80090327UL: name = "SEC_E_CERT_UNKNOWN"; break;
    case 0x80090328UL: name = "SEC_E_CERT_EXPIRED"; break;
    case 0x80090330UL: name = "SEC_E_DECRYPT_FAILURE"; break;
    case 0x80090331UL: name = "SEC_E_ALGORITHM_MISMATCH"; break;
    case 0x8009030FUL: name = "SEC_E_MESSAGE_ALTERED"; break;
    case 0x80090325UL: name = "SEC_E_UNTRUSTED_ROOT"; break;
    case 0x80090322UL: name = "SEC_E_WRONG_PRINCIPAL"; break;
    default: break;
    }
    return name ? std::string(name) + " " + hex(static_cast<unsigned long>(s)) : hex(static_cast<unsigned long>(s));
}

const char *alert_name(int d) {
    switch (d) {
    case 0: return "close_notify";
    case 10: return "unexpected_message";
    case 20: return "bad_record_mac";
    case 22: return "record_overflow";
    case 40: return "handshake_failure";
    case 42: return "bad_certificate";
    case 43: return "unsupported_certificate";
    case 46: return "certificate_unknown";
    case 47: return "illegal_parameter";
    case 48: return "unknown_ca";
    case 50: return "decode_error";
    case 51: return "decrypt_error";
    case 70: return "protocol_version";
    case 71: return "insufficient_security";
    case 80: return "internal_error";
    case 86: return "inappropriate_fallback";
    case 109: return "missing_extension";
    case 110: return "unsupported_extension";
    case 112: return "unrecognized_name";
    case 116: return "certificate_required";
    default: return "alert";
    }
}

std::string version_name(unsigned v) {
    switch (v) {
    case 0x0300: return "SSL 3.0";
    case 0x0301: return "TLS 1.0";
    case 0x0302: return "TLS 1.1";
    case 0x0303: return "TLS 1.2";
    case 0x0304: return "TLS 1.3";
    default: return "version " + hex(v);
    }
}

std::string protocol_name(DWORD sp_prot) {
    if (sp_prot & SP_PROT_SSL2_CLIENT) return "SSL 2.0";
    if (sp_prot & SP_PROT_SSL3_CLIENT) return "SSL 3.0";
    if (sp_prot & SP_PROT_TLS1_0_CLIENT) return "TLS 1.0";
    if (sp_prot & SP_PROT_TLS1_1_CLIENT) return "TLS 1.1";
    return "protocol " + hex(sp_prot);
}

// What the server's plaintext records said during the handshake.
class HelloNotes {
public:
    DWORD offered = kProtocols;  // the versions our hello offered

    void add(const char *data, size_t len) {
        if (done_) return;
        buf_.append(data, len);
        while (!done_ && buf_.size() >= 5) {
            const auto *b = reinterpret_cast<const unsigned char *>(buf_.data());
            const size_t body = (size_t(b[3]) << 8) | b[4];
            if (buf_.size() < 5 + body) break;
            const unsigned char type = b[0];
            if (type == 21 && body == 2) {
                alert_ = b[6];
            } else if (type == 22 && body >= 6 && b[5] == 2 && hello_version_ == 0) {
                hello_version_ = (unsigned(b[9]) << 8) | b[10];
            } else if (type != 22) {
                done_ = true;  // ChangeCipherSpec or encrypted records: nothing more to read here
            }
            buf_.erase(0, 5 + body);
        }
    }
    // Why the server refused, when its records tell; empty otherwise.
    std::string refusal() const {
        if (hello_version_ && hello_version_ < 0x0303)
            return "protocol version: the server chose " + version_name(hello_version_) +
                   ", and only TLS 1.2 and TLS 1.3 are accepted";
        if (alert_ == 70)
            return std::string("protocol version: the server refused ") +
                   (offered == SP_PROT_TLS1_2_CLIENT   ? "TLS 1.2, the only version offered here"
                    : offered == SP_PROT_TLS1_3_CLIENT ? "TLS 1.3, the only version offered here"
                                                       : "TLS 1.2 and TLS 1.3") +
                   " (alert protocol_version)";
        if (alert_ >= 0)
            return "handshake refused: the server sent the alert " + std::string(alert_name(alert_)) + " (" +
                   std::to_string(alert_) + ")";
        return {};
    }

private:
    std::string buf_;
    bool done_ = false;
    int alert_ = -1;
    unsigned hello_version_ = 0;
};

class SchannelSession : public Session {
public:
    explicit SchannelSession(const std::string &name) : name_(name) {
        for (unsigned char c : name) wname_ += wchar_t(c);
    }
    ~SchannelSession() override {
        if (have_ctx_) DeleteSecurityContext(&ctx_);
        if (have_cred_) FreeCredentialsHandle(&cred_);
    }

    State start(std::string &out) override {
        if (started_) return state_;
        started_ = true;
        std::string why = acquire();
        if (!why.empty()) return fail(why);
        return handshake(out);
    }

    State feed(const char *data, size_t len, std::string &out, std::string &plain) override {
        if (state_ == State::Failed || state_ == State::Closed || !started_) return state_;
        in_.append(data, len);
        if (state_ == State::Handshaking) {
            notes_.add(data, len);
            if (handshake(out) != State::Open) return state_;
        }
        return decrypt(out, plain);
    }

    bool encrypt(std::string_view plain, std::string &out) override {
        if (state_ != State::Open) return false;
        std::string records;
        while (!plain.empty()) {
            const size_t n = plain.size() < sizes_.cbMaximumMessage ? plain.size() : sizes_.cbMaximumMessage;
            std::string buf(sizes_.cbHeader + n + sizes_.cbTrailer, '\0');
            std::memcpy(&buf[sizes_.cbHeader], plain.data(), n);
            SecBuffer b[4] = {{sizes_.cbHeader, SECBUFFER_STREAM_HEADER, &buf[0]},
                              {ULONG(n), SECBUFFER_DATA, &buf[sizes_.cbHeader]},
                              {sizes_.cbTrailer, SECBUFFER_STREAM_TRAILER, &buf[sizes_.cbHeader + n]},
                              {0, SECBUFFER_EMPTY, nullptr}};
            SecBufferDesc d{SECBUFFER_VERSION, 4, b};
            SECURITY_STATUS s = EncryptMessage(&ctx_, 0, &d, 0);
            if (s != SEC_E_OK) {
                fail("a record could not be encrypted (" + status_text(s) + ")");
                return false;
            }
            for (int i = 0; i < 3; ++i) records.append(static_cast<const char *>(b[i].pvBuffer), b[i].cbBuffer);
            plain.remove_prefix(n);
        }
        out += records;
        return true;
    }

    void close(std::string &out) override {
        if (state_ == State::Open) {
            DWORD kind = SCHANNEL_SHUTDOWN;
            SecBuffer b{sizeof kind, SECBUFFER_TOKEN, &kind};
            SecBufferDesc d{SECBUFFER_VERSION, 1, &b};
            if (ApplyControlToken(&ctx_, &d) == SEC_E_OK) {
                SecBuffer ob{0, SECBUFFER_TOKEN, nullptr};
                SecBufferDesc od{SECBUFFER_VERSION, 1, &ob};
                unsigned long attrs = 0;
                InitializeSecurityContextW(&cred_, &ctx_, &wname_[0], kContextFlags, 0, 0, nullptr, 0, nullptr, &od,
                                           &attrs, nullptr);
                take_token(ob, out);
            }
        }
        if (state_ != State::Failed) state_ = State::Closed;
    }

    State state() const override { return state_; }
    std::string error() const override { return state_ == State::Failed ? error_ : std::string(); }
    std::string protocol() const override { return protocol_; }

private:
    State fail(const std::string &why) {
        state_ = State::Failed;
        error_ = why;
        in_.clear();
        return state_;
    }

    // Credentials that offer TLS 1.2 and 1.3 where SChannel has them, and
    // nothing older. Tried in turn, each kept only when what SChannel says
    // it offers holds nothing but those two:
    //   SCH_CREDENTIALS with the older versions disabled (Windows 10 1809
    //     and later; Windows 11 offers TLS 1.3 only through these; Wine 8
    //     takes them but ignores the disabled versions and offers TLS 1.0
    //     and 1.1 still, so they are dropped there);
    //   SCHANNEL_CRED naming TLS 1.2 and 1.3 (SChannel drops what it does
    //     not have: Wine 8 keeps TLS 1.2);
    //   SCHANNEL_CRED naming TLS 1.2 (Windows that refuses the 1.3 bit).
    std::string acquire() {
        TLS_PARAMETERS params{};
        params.grbitDisabledProtocols = ~kProtocols;
        SCH_CREDENTIALS sch{};
        sch.dwVersion = SCH_CREDENTIALS_VERSION;
        sch.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
        sch.cTlsParameters = 1;
        sch.pTlsParameters = &params;
        SCHANNEL_CRED both{};
        both.dwVersion = SCHANNEL_CRED_VERSION;
        both.grbitEnabledProtocols = kProtocols;
        both.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
        SCHANNEL_CRED tls12 = both;
        tls12.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
        void *const tries[] = {&sch, &both, &tls12};

        std::string why;
        for (void *auth : tries) {
            TimeStamp expiry{};
            SECURITY_STATUS s = AcquireCredentialsHandleW(nullptr, const_cast<wchar_t *>(UNISP_NAME_W),
                                                          SECPKG_CRED_OUTBOUND, nullptr, auth, nullptr, nullptr,
                                                          &cred_, &expiry);
            if (s != SEC_E_OK) {
                why = "no credentials for TLS 1.2 from SChannel (" + status_text(s) + ")";
                continue;
            }
            SecPkgCred_SupportedProtocols offered{};
            s = QueryCredentialsAttributesW(&cred_, SECPKG_ATTR_SUPPORTED_PROTOCOLS, &offered);
            const DWORD client = offered.grbitProtocol & kClientProtocols;
            if (s == SEC_E_OK && client && (client & ~kProtocols) == 0) {
                have_cred_ = true;
                notes_.offered = client;
                return {};
            }
            FreeCredentialsHandle(&cred_);
            why = s == SEC_E_OK ? "SChannel offers TLS versions below 1.2 (" + hex(client) + "), which are refused"
                                : "SChannel does not say which TLS versions it offers (" + status_text(s) + ")";
        }
        return why;
    }

    static void take_token(SecBuffer &b, std::string &out) {
        if (b.pvBuffer) {
            out.append(static_cast<const char *>(b.pvBuffer), b.cbBuffer);
            FreeContextBuffer(b.pvBuffer);
            b.pvBuffer = nullptr;
        }
    }

    // Runs InitializeSecurityContext over what has arrived until it needs
    // more input, succeeds or fails.
    State handshake(std::string &out) {
        for (int round = 0; round < kMaxRounds; ++round) {
            SecBuffer ib[2] = {{ULONG(in_.size()), SECBUFFER_TOKEN, in_.empty() ? nullptr : &in_[0]},
                               {0, SECBUFFER_EMPTY, nullptr}};
            SecBufferDesc id{SECBUFFER_VERSION, 2, ib};
            SecBuffer ob{0, SECBUFFER_TOKEN, nullptr};
            SecBufferDesc od{SECBUFFER_VERSION, 1, &ob};
            unsigned long attrs = 0;
            SECURITY_STATUS s = InitializeSecurityContextW(&cred_, have_ctx_ ? &ctx_ : nullptr, &wname_[0],
                                                           kContextFlags, 0, 0, have_ctx_ ? &id : nullptr, 0,
                                                           have_ctx_ ? nullptr : &ctx_, &od, &attrs, nullptr);
            if (!have_ctx_ && (s == SEC_E_OK || s == SEC_I_CONTINUE_NEEDED)) have_ctx_ = true;
            take_token(ob, out);  // also an alert of ours on failure
            if (s == SEC_E_INCOMPLETE_MESSAGE) return state_;
            if (FAILED(s)) {
                std::string why = notes_.refusal();
                return fail(why.empty() ? "handshake failed (" + status_text(s) + ")" : why);
            }
            if (ib[1].BufferType == SECBUFFER_EXTRA && ib[1].cbBuffer > 0 && ib[1].cbBuffer <= in_.size())
                in_.erase(0, in_.size() - ib[1].cbBuffer);
            else if (s != SEC_I_INCOMPLETE_CREDENTIALS)
                in_.clear();
            if (s == SEC_E_OK) return opened();
            if (s == SEC_I_CONTINUE_NEEDED && in_.empty()) return state_;
            // SEC_I_CONTINUE_NEEDED with more input at hand, or
            // SEC_I_INCOMPLETE_CREDENTIALS (no client certificate: go on).
        }
        return fail("handshake failed: SChannel did not finish (" + std::to_string(kMaxRounds) + " rounds)");
    }

    // The handshake is done: the server's certificate and the protocol
    // decide whether the session opens.
    State opened() {
        PCCERT_CONTEXT cert = nullptr;
        SECURITY_STATUS s = QueryContextAttributesW(&ctx_, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &cert);
        if (s != SEC_E_OK || !cert) return fail("the server's certificate is not available (" + status_text(s) + ")");
        std::string why = verify_server_certificate(cert, name_);
        CertFreeCertificateContext(cert);
        if (!why.empty()) return fail(why);

        SecPkgContext_ConnectionInfo info{};
        s = QueryContextAttributesW(&ctx_, SECPKG_ATTR_CONNECTION_INFO, &info);
        if (s != SEC_E_OK) return fail("the negotiated protocol is not known (" + status_text(s) + ")");
        if (info.dwProtocol & SP_PROT_TLS1_3_CLIENT)
            protocol_ = "TLS 1.3";
        else if (info.dwProtocol & SP_PROT_TLS1_2_CLIENT)
            protocol_ = "TLS 1.2";
        else
            return fail("protocol version: the server chose " + protocol_name(info.dwProtocol) +
                        ", and only TLS 1.2 and TLS 1.3 are accepted");

        s = QueryContextAttributesW(&ctx_, SECPKG_ATTR_STREAM_SIZES, &sizes_);
        if (s != SEC_E_OK || sizes_.cbMaximumMessage == 0)
            return fail("the record sizes are not known (" + status_text(s) + ")");
        state_ = State::Open;
        return state_;
    }

    State decrypt(std::string &out, std::string &plain) {
        while (state_ == State::Open && !in_.empty()) {
            const bool alert = in_[0] == 21;  // the record's content type (TLS 1.2 shows it)
            SecBuffer b[4] = {{ULONG(in_.size()), SECBUFFER_DATA, &in_[0]},
                              {0, SECBUFFER_EMPTY, nullptr},
                              {0, SECBUFFER_EMPTY, nullptr},
                              {0, SECBUFFER_EMPTY, nullptr}};
            SecBufferDesc d{SECBUFFER_VERSION, 4, b};
            SECURITY_STATUS s = DecryptMessage(&ctx_, &d, 0, nullptr);
            if (s == SEC_E_INCOMPLETE_MESSAGE) break;
            if (s != SEC_E_OK && s != SEC_I_RENEGOTIATE && s != SEC_I_CONTEXT_EXPIRED)
                return fail("a record from the server does not decrypt (" + status_text(s) + ")");
            std::string extra;
            size_t data = 0;
            for (auto &x : b) {
                if (x.BufferType == SECBUFFER_DATA && x.pvBuffer) {
                    plain.append(static_cast<const char *>(x.pvBuffer), x.cbBuffer);
                    data += x.cbBuffer;
                } else if (x.BufferType == SECBUFFER_EXTRA && x.pvBuffer) {
                    extra.assign(static_cast<const char *>(x.pvBuffer), x.cbBuffer);
                }
            }
            in_ = std::move(extra);
            // The server's close_notify: SChannel says SEC_I_CONTEXT_EXPIRED;
            // Wine 8 takes the alert record without a word (SEC_E_OK, no
            // data). An alert is all a server sends us after the handshake
            // (we never renegotiate), and its fatal ones fail the call.
            if (s == SEC_I_CONTEXT_EXPIRED || (s == SEC_E_OK && alert && data == 0)) {
                state_ = State::Closed;
                in_.clear();
                break;
            }
            if (s == SEC_I_RENEGOTIATE) {
                // A handshake message after the handshake (TLS 1.3 tickets
                // and key updates, a TLS 1.2 renegotiation): SChannel takes
                // it through InitializeSecurityContext; the certificate of a
                // new handshake is checked again.
                state_ = State::Handshaking;
                if (handshake(out) != State::Open) return state_;
            }
        }
        return state_;
    }

    std::string name_;
    std::wstring wname_;
    CredHandle cred_{};
    CtxtHandle ctx_{};
    bool have_cred_ = false;
    bool have_ctx_ = false;
    bool started_ = false;
    State state_ = State::Handshaking;
    std::string in_;  // bytes from the server not yet taken by SChannel
    std::string error_;
    std::string protocol_;
    SecPkgContext_StreamSizes sizes_{};
    HelloNotes notes_;
};

}  // namespace

std::unique_ptr<Session> Session::client(const std::string &server_name) {
    return std::make_unique<SchannelSession>(server_name);
}

}  // namespace callctl::tls
