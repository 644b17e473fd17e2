// TLS client sessions (transport/tls.h) against openssl s_server on
// loopback: with_tls_servers starts one server per kind (good, one protocol
// only, wrong name, expired, untrusted CA) with the demo CA's certificates,
// and the test bed trusts the demo CA. The test owns the TCP connection and
// pumps bytes through the session as the transport does.
#include <winsock2.h>
#include <ws2tcpip.h>
#define SECURITY_WIN32
#include <windows.h>
#include <wincrypt.h>
#include <schannel.h>
#include <security.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "transport/tls.h"

using callctl::tls::Session;
using State = Session::State;

namespace {

const char *name_of(State s) {
    switch (s) {
    case State::Handshaking: return "Handshaking";
    case State::Open: return "Open";
    case State::Failed: return "Failed";
    case State::Closed: return "Closed";
    }
    return "?";
}

int server_port(const std::string &name) {
    const char *all = std::getenv("QUILLON_TLS_SERVERS");
    std::istringstream in(all ? all : "");
    std::string item;
    while (in >> item)
        if (item.compare(0, name.size() + 1, name + "=") == 0) return std::atoi(item.c_str() + name.size() + 1);
    return 0;
}

std::string server_log(const std::string &name) {
    const char *dir = std::getenv("QUILLON_TLS_DIR");
    std::ifstream f(std::string(dir ? dir : ".") + "\\" + name + ".log", std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

// Whether SChannel here offers TLS 1.3 to a server (Wine 8's does not).
bool schannel_offers_tls13() {
    SCHANNEL_CRED cred{};
    cred.dwVersion = SCHANNEL_CRED_VERSION;
    cred.grbitEnabledProtocols = SP_PROT_TLS1_3_CLIENT;
    cred.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
    CredHandle h;
    TimeStamp t;
    if (AcquireCredentialsHandleW(nullptr, const_cast<wchar_t *>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND, nullptr, &cred,
                                  nullptr, nullptr, &h, &t) != SEC_E_OK)
        return false;
    SecPkgCred_SupportedProtocols p{};
    bool yes = QueryCredentialsAttributesW(&h, SECPKG_ATTR_SUPPORTED_PROTOCOLS, &p) == SEC_E_OK &&
               (p.grbitProtocol & SP_PROT_TLS1_3_CLIENT);
    FreeCredentialsHandle(&h);
    return yes;
}

// Whether this computer's root store holds the demo CA (the test bed's doing).
bool demo_ca_trusted() {
    HCERTSTORE store = CertOpenSystemStoreW(0, L"ROOT");
    if (!store) return false;
    PCCERT_CONTEXT c = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_STR_W,
                                                  L"Quillon Demo CA", nullptr);
    if (c) CertFreeCertificateContext(c);
    CertCloseStore(store, 0);
    return c != nullptr;
}

// A TCP connection to a server of with_tls_servers and a session on it,
// fed in pieces of `piece` bytes (0: as they arrive).
class Link {
public:
    Link(int port, size_t piece) : piece_(piece) {
        WSADATA w;
        WSAStartup(MAKEWORD(2, 2), &w);
        sock_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        DWORD timeout_ms = 10000;  // a server that says nothing fails the test, not hangs it
        setsockopt(sock_, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char *>(&timeout_ms), sizeof timeout_ms);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(u_short(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = connect(sock_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    }
    ~Link() {
        closesocket(sock_);
        WSACleanup();
    }
    bool connected() const { return connected_; }

    void send_all(const std::string &bytes) {
        for (size_t at = 0; at < bytes.size();) {
            int n = send(sock_, bytes.data() + at, int(bytes.size() - at), 0);
            if (n <= 0) return;
            at += size_t(n);
        }
    }
    // Reads once from the connection into the session; false at the end
    // of the connection or after the timeout.
    bool pump(Session &s, std::string &plain) {
        char buf[16384];
        int n = recv(sock_, buf, sizeof buf, 0);
        if (n <= 0) return false;
        std::string out;
        const size_t step = piece_ ? piece_ : size_t(n);
        for (int at = 0; at < n; at += int(step)) s.feed(buf + at, std::min(step, size_t(n - at)), out, plain);
        send_all(out);
        return true;
    }
    State handshake(Session &s) {
        std::string out, plain;
        s.start(out);
        send_all(out);
        while (s.state() == State::Handshaking && pump(s, plain)) {
        }
        return s.state();
    }
    // Sends `line` and reads until the server's answer line is complete.
    std::string exchange(Session &s, const std::string &line) {
        std::string out, plain;
        if (!s.encrypt(line, out)) return "(encrypt refused)";
        send_all(out);
        while (plain.find('\n') == std::string::npos && s.state() == State::Open && pump(s, plain)) {
        }
        return plain;
    }
    // Reads until the server ends the connection.
    void drain(Session &s) {
        std::string plain;
        while (pump(s, plain)) {
        }
    }

private:
    SOCKET sock_ = INVALID_SOCKET;
    bool connected_ = false;
    size_t piece_;
};

std::string reversed_line(std::string line) {
    line.pop_back();
    std::reverse(line.begin(), line.end());
    return line + "\n";
}

std::string text_line(size_t size) {
    std::string s;
    for (size_t i = 0; s.size() < size; ++i) s += "SIP/2.0 200 OK;line=" + std::to_string(i) + ";";
    s.resize(size);
    return s + "\n";
}

struct Row {
    const char *server;
    size_t piece;          // feed pieces (0: as read)
    State expect;          // after the handshake
    const char *says[2];   // Open: the protocol; Failed: words error() holds
    const char *never;     // what the server's log must not show (a session it made)
};

void PrintTo(const Row &row, std::ostream *os) { *os << row.server << (row.piece ? " fed byte by byte" : ""); }

class TlsSession : public ::testing::TestWithParam<Row> {};

TEST_P(TlsSession, HandshakeOutcome) {
    ASSERT_TRUE(demo_ca_trusted()) << "run in scripts/testbed: it makes Windows trust the demo CA";
    const Row &row = GetParam();
    const int port = server_port(row.server);
    ASSERT_NE(port, 0) << "run through tests/callctl/with_tls_servers";
    Link link(port, row.piece);
    ASSERT_TRUE(link.connected());
    auto session = Session::client("localhost");
    ASSERT_TRUE(session);

    State expect = row.expect;
    std::string protocol = row.says[0] ? row.says[0] : "";
    // A TLS 1.3-only server opens where SChannel has TLS 1.3; otherwise no
    // protocol is left in common. A server of both gets the newer one.
    const bool tls13 = schannel_offers_tls13();
    if (std::string(row.server) == "tls13" && !tls13) expect = State::Failed;
    if (std::string(row.server) == "good") protocol = tls13 ? "TLS 1.3" : "TLS 1.2";

    const State got = link.handshake(*session);
    ASSERT_EQ(name_of(got), std::string(name_of(expect))) << session->error() << "\n" << server_log(row.server);
    if (row.never) {
        EXPECT_EQ(server_log(row.server).find(row.never), std::string::npos) << server_log(row.server);
    }
    if (got == State::Failed) {
        const char *words[2] = {row.says[0], row.says[1]};
        if (expect != row.expect) words[0] = "protocol version", words[1] = "TLS 1.2";
        for (const char *w : words) {
            if (w) {
                EXPECT_NE(session->error().find(w), std::string::npos) << "error(): " << session->error();
            }
        }
        EXPECT_EQ(session->protocol(), "");
        std::string out;
        EXPECT_FALSE(session->encrypt("INVITE\n", out));
        EXPECT_TRUE(out.empty());
        return;
    }
    EXPECT_EQ(session->protocol(), protocol);
    EXPECT_EQ(session->error(), "");

    // Application data both ways: a short line and one of many TCP reads.
    for (const std::string &line : {std::string("REGISTER sip:localhost SIP/2.0\n"), text_line(12000)})
        EXPECT_EQ(link.exchange(*session, line), reversed_line(line)) << server_log(row.server);

    // The server closes ("CLOSE" makes s_server send its close_notify).
    link.exchange(*session, "CLOSE\n");
    EXPECT_EQ(name_of(session->state()), std::string("Closed")) << session->error();
    std::string out;
    EXPECT_FALSE(session->encrypt("BYE\n", out));
}

// A TLS 1.1 server must not even complete its side of a handshake: the
// session offers nothing older than TLS 1.2.
const Row kRows[] = {
    {"good", 0, State::Open, {nullptr, nullptr}, nullptr},
    {"good", 1, State::Open, {nullptr, nullptr}, nullptr},
    {"tls12", 0, State::Open, {"TLS 1.2", nullptr}, nullptr},
    {"tls13", 0, State::Open, {"TLS 1.3", nullptr}, nullptr},
    {"wrong-name", 0, State::Failed, {"wrong name", "wrong-name.invalid"}, nullptr},
    {"expired", 0, State::Failed, {"expired", "2020-01-31"}, nullptr},
    {"untrusted", 0, State::Failed, {"untrusted root", "Quillon Untrusted Test CA"}, nullptr},
    {"tls11", 0, State::Failed, {"protocol version", "TLS 1.1"}, "Protocol version: TLSv1.1"},
    {"tls11", 1, State::Failed, {"protocol version", "TLS 1.1"}, "Protocol version: TLSv1.1"},
};

std::string row_name(const ::testing::TestParamInfo<Row> &info) {
    std::string n = info.param.server;
    std::replace(n.begin(), n.end(), '-', '_');
    return n + (info.param.piece ? "_bytewise" : "");
}

INSTANTIATE_TEST_SUITE_P(Servers, TlsSession, ::testing::ValuesIn(kRows), row_name);

// Our close_notify ends the session cleanly: s_server reports a closed
// connection, not an error.
TEST(TlsClose, ServerSeesOurCloseNotify) {
    const int port = server_port("bye");
    ASSERT_NE(port, 0) << "run through tests/callctl/with_tls_servers";
    Link link(port, 0);
    ASSERT_TRUE(link.connected());
    auto session = Session::client("localhost");
    ASSERT_EQ(name_of(link.handshake(*session)), std::string("Open")) << session->error();
    ASSERT_EQ(link.exchange(*session, "OPTIONS\n"), "SNOITPO\n");
    std::string out;
    session->close(out);
    EXPECT_EQ(name_of(session->state()), std::string("Closed"));
    ASSERT_FALSE(out.empty());
    link.send_all(out);
    link.drain(*session);
    EXPECT_NE(server_log("bye").find("CONNECTION CLOSED"), std::string::npos) << server_log("bye");
}

}  // namespace
