// A party of a multi-party call whose audio the test plays itself: a UDP socket on
// 127.0.0.1 that speaks a tone of its own and keeps what it hears. The call server's
// answer names the socket's port as the party's media address; once the phone's RTP
// arrives, the party sends its tone (PCMU, 20 ms a packet) back to where it came from.
#pragma once
#include <winsock2.h>
#include <windows.h>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace partytest {

class ToneParty {
public:
    // toneHz: the frequency this party speaks; amplitude: its peak sample value.
    explicit ToneParty(double toneHz, int amplitude = 8000);
    ~ToneParty();
    ToneParty(const ToneParty&) = delete;
    ToneParty& operator=(const ToneParty&) = delete;

    int Port() const { return m_port; }
    double ToneHz() const { return m_toneHz; }
    // The samples heard since the last Clear(), decoded from the PCMU packets received.
    std::vector<int16_t> Heard() const;
    size_t PacketsHeard() const;
    size_t PacketsSent() const { return m_sent; }
    void Clear();

private:
    void Run();

    double m_toneHz;
    int m_amplitude;
    SOCKET m_socket = INVALID_SOCKET;
    int m_port = 0;
    std::atomic<bool> m_quit{false};
    std::atomic<size_t> m_sent{0};
    mutable std::mutex m_mutex;
    std::vector<int16_t> m_heard;
    size_t m_packetsHeard = 0;
    std::thread m_thread;
};

// The share of a block's energy at one frequency (Goertzel), 0..1; 0 for near silence.
double ToneShare(const int16_t* samples, size_t count, double hz);

// G.711 mu-law.
uint8_t LinearToUlaw(int16_t sample);
int16_t UlawToLinear(uint8_t code);

}  // namespace partytest
