// A small DNS client for finding SIP servers: A, SRV (RFC 2782) and NAPTR
// (RFC 3403) queries to the system's name servers.
//
// Two halves. The message format (dns.cpp): a query is built and an answer
// read by pure functions, usable on any thread; the reader takes nothing on
// trust (every length, every compression pointer, the ID and the question are
// checked, and a failed read says why and where). The exchange (dns_client.cpp):
// blocking, for the resolver's worker thread only; UDP from a fresh socket on
// a random port with a random ID, TCP again when the answer was truncated,
// and only a datagram from the server asked is read at all.
//
// Names are kept as text: lower case, labels joined by '.', no final dot.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base.h"

namespace callctl {
namespace dns {

enum Type : uint16_t { kA = 1, kCname = 5, kSoa = 6, kSrv = 33, kNaptr = 35 };
enum Rcode : uint8_t { kNoError = 0, kServFail = 2, kNxDomain = 3, kRefused = 5 };

struct Srv {
    uint16_t priority = 0;
    uint16_t weight = 0;
    uint16_t port = 0;
    std::string target;  // "" is the root: the service is not offered here
};

struct Naptr {
    uint16_t order = 0;
    uint16_t preference = 0;
    std::string flags;    // lower case
    std::string service;  // lower case
    std::string regexp;
    std::string replacement;  // "" is the root
};

// One record of the type asked, with its data in the member for its type.
struct Record {
    uint32_t ttl = 0;
    uint32_t a = 0;  // host byte order
    Srv srv;
    Naptr naptr;
};

struct Answer {
    uint8_t rcode = kNoError;
    bool truncated = false;  // TC: the records are not there; ask again over TCP
    // The records of the type asked that belong to the name asked, or to
    // the name it is an alias of (CNAMEs in the answer are followed);
    // everything else in the message is checked and dropped.
    std::vector<Record> records;
    // How long the answer may be kept, in seconds: the least TTL of the
    // records and aliases used, or for "no such records" the negative TTL
    // of the zone's SOA (RFC 2308). 0: not at all.
    uint32_t ttl = 0;
};

enum class ParseError : uint8_t {
    None,
    Short,          // the message ends inside a field
    NotAnAnswer,    // QR clear, another opcode
    WrongId,
    WrongQuestion,  // not one question, or not the one asked
    BadName,        // label too long, name too long, bad character, bad pointer
    BadRecord,      // data that does not fill its length exactly
};
struct ParseResult {
    ParseError error = ParseError::None;
    size_t offset = 0;  // where the reading stopped
    explicit operator bool() const { return error == ParseError::None; }
};
const char *parse_error_text(ParseError e);

// A recursive query (RD set) for one name and type, class IN. False when
// the name cannot be a DNS name (empty label, label over 63 bytes, over 255
// in all, a character outside letters, digits, '-' and '_').
bool build_query(std::string_view name, uint16_t type, uint16_t id, std::string *out);
// Reads msg as the answer to the query (id, name, type). *out is set only
// on success.
ParseResult parse_answer(const uint8_t *msg, size_t len, uint16_t id, std::string_view name, uint16_t type,
                         Answer *out);

// A name usable as a host or the owner of records: what build_query takes.
bool valid_name(std::string_view name);

// ---- the exchange (dns_client.cpp) ----

// The system's name servers, IPv4 only, at most three: Windows' own list
// (GetNetworkParams), elsewhere the nameserver lines of /etc/resolv.conf.
std::vector<Endpoint> system_servers();
// The nameserver lines of a resolv.conf text (IPv4, at most three, port 53).
std::vector<Endpoint> parse_resolv_conf(std::string_view text);

// For tests: every query goes to this server from now on (port 0: the
// system's servers again).
void set_server_override(const Endpoint &server);

// Asks the name servers in turn, again with longer waits when none
// answered, until one gives an answer (rcode NOERROR or NXDOMAIN) or
// deadline_ms (now_ms's clock) passes. A truncated UDP answer is asked
// again over TCP. False when no server answered in time; *out is set only
// on success. Blocks: for the resolver's worker.
bool query(std::string_view name, uint16_t type, int64_t deadline_ms, Answer *out);

}  // namespace dns
}  // namespace callctl
