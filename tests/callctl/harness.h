// Test fixtures shared by the library tests: a sipp peer started on
// loopback with free ports, an event recorder for the library's listener,
// and a library instance with short timers.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "base/base.h"
#include "callctl.h"

namespace testing_callctl {

// A free UDP port on 127.0.0.1 (bound and released again).
int free_udp_port();

// One sipp process. It runs through /bin/sh so that the same code works
// natively and under Wine (which cannot wait for a Unix child): the shell
// writes sipp's exit status to a file that we poll.
class Sipp {
public:
    Sipp();
    ~Sipp();  // kills a sipp still running
    // scenario: file name under tests/callctl; args: extra sipp arguments.
    // Listens on 127.0.0.1:port(); `remote` ("127.0.0.1:5060") makes it a UAC.
    // calls: how many sipp calls (Call-IDs) end the run; ip: sipp's address.
    bool start(const std::string &scenario, const std::vector<std::string> &args = {},
               const std::string &remote = {}, int calls = 1, const std::string &ip = "127.0.0.1");
    // Exit status of sipp (0 = every scenario step passed), or -1 when it
    // did not end within timeout_ms (it is killed then).
    int wait(int timeout_ms);
    void kill();
    int port() const { return port_; }
    std::string log() const;  // sipp's output and its error trace, for failures

private:
    bool start_once(const std::string &scenario, const std::vector<std::string> &args, const std::string &remote,
                    int calls, const std::string &ip);

    std::string base_;  // unix path prefix of this run's files
    int port_ = 0;
    bool running_ = false;
    long pid_ = 0;
};

struct Event {
    int category;
    SIPX_CALL call;
    SIPX_LINE line;
    uint32_t code;
    uint32_t cause;
    uint32_t sip_status;
    std::string text;
};

class Recorder {
public:
    static int callback(int category, void *info, void *user);
    // Waits until an event with this category and code (and call/line when
    // nonzero) has arrived; returns it, or a category -1 event on timeout.
    Event wait_for(int category, uint32_t code, int timeout_ms, uint32_t handle = 0);
    int count(int category, uint32_t code, uint32_t handle = 0) const;
    // Waits until at least n such events have arrived; false on timeout.
    bool wait_count(int category, uint32_t code, int n, int timeout_ms, uint32_t handle = 0);
    std::vector<Event> all() const;
    std::string dump() const;

private:
    mutable std::mutex m_;
    std::condition_variable cv_;
    std::vector<Event> events_;
};

// The library's log sink while it lives (at `level`, a callback keeping the
// lines); the log is off again when it goes.
class LogCapture {
public:
    explicit LogCapture(int level);
    ~LogCapture();
    // Every line so far as "<level> <text>\n".
    std::string text() const;

private:
    static void callback(int level, const char *line, void *user);
    mutable std::mutex m_;
    std::string text_;
};

// An instance on a free port with T1 = 40 ms, T2 = 320 ms, register retry
// 300 ms .. 1200 ms, and a Recorder as listener.
class Phone {
public:
    // bind: the instance's address ("0.0.0.0": all, the local address of
    // each request then found per destination).
    explicit Phone(bool rport = true, const char *bind = "127.0.0.1");
    ~Phone();
    SIPX_INST inst = 0;
    int port = 0;
    Recorder rec;
    SIPX_LINE add_line(const std::string &user, int registrar_port, const char *password = "s3cret");
};

// A SIP peer scripted by the test itself, for what sipp cannot express
// (answering minutes of ringing late, crossing a CANCEL, hostile challenges):
// a UDP socket the test reads messages from and answers by hand.
class RawPeer {
public:
    explicit RawPeer(uint32_t ip = 0x7f000001, uint16_t port = 0);
    ~RawPeer();
    uint16_t port() const { return sock_.local_port(); }
    // The next message whose first word is `what` ("INVITE", "ACK", or
    // "SIP/2.0" for any response), in arrival order; messages skipped on
    // the way stay for later calls. False on timeout.
    bool next(const std::string &what, int timeout_ms, std::string *msg = nullptr, callctl::Endpoint *from = nullptr);
    // How many messages beginning with `what` arrived so far (read
    // everything waiting first).
    int count(const std::string &what);
    // A response to `req`: its Via, From, Call-ID and CSeq, its To with our
    // tag added, then `extra` header lines (each ending in CRLF) and `body`.
    std::string response(const std::string &req, int code, const std::string &extra = {},
                         const std::string &body = {}) const;
    void send(const std::string &text, const callctl::Endpoint &to);
    // Sends the response to where `req` came from.
    void reply(const std::string &req, const callctl::Endpoint &to, int code, const std::string &extra = {},
               const std::string &body = {});
    std::string tag = "peer7";

private:
    void drain(int timeout_ms);
    callctl::UdpSocket sock_;
    struct Msg {
        std::string text;
        callctl::Endpoint from;
        bool taken = false;
    };
    std::vector<Msg> seen_;
};

// A header's value in a message text ("" when absent); the n-th occurrence.
std::string header_of(const std::string &msg, const std::string &name, int n = 0);
// The first line of a message text.
std::string first_line(const std::string &msg);
// An audio description at 127.0.0.1:port with PCMU (and whatever extra lines).
std::string audio_sdp(int port, const std::string &extra = {});

// Unix path of a scenario file.
std::string scenario_path(const std::string &name);

// The test's working directory as a Unix path (under Wine: Z:\x -> /x).
std::string unix_cwd();
// Runs a /bin/sh script (its text) and waits up to timeout_ms for it to end;
// returns its exit status, or -1 on timeout. A script may start background
// programs: it should record their pids in files for kill scripts.
int run_sh(const std::string &script, int timeout_ms);
// Starts a /bin/sh script and returns at once.
void start_sh(const std::string &script);

// A file's bytes (empty when it cannot be read).
std::string slurp(const std::string &path);
// 16-bit little-endian samples of raw bytes, from byte `from` on.
std::vector<int16_t> samples_of(const std::string &bytes, size_t from = 0);
// A little-endian 32-bit field at byte `at`.
uint32_t le32(const std::string &s, size_t at);
// Share of an 8 kHz block's energy at one frequency (Goertzel), 0..1; 0 for a near-silent block.
double share(const int16_t *x, size_t n, double freq);
// Number of 100 ms windows in which the frequency carries at least `min` of the energy.
int windows_with(const std::vector<int16_t> &s, double freq, double min);

}  // namespace testing_callctl
