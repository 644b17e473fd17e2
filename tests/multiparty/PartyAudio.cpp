#include "PartyAudio.h"
#include <cmath>

namespace partytest {

namespace {
const double kPi = 3.14159265358979323846;
const int kRate = 8000;
const int kFrame = 160;         // 20 ms
}

uint8_t LinearToUlaw(int16_t sample)
{
    const int kBias = 0x84, kClip = 32635;
    int s = sample;
    const int sign = s < 0 ? 0x80 : 0;
    if (s < 0)
        s = -s;
    if (s > kClip)
        s = kClip;
    s += kBias;
    int exponent = 7;
    for (int mask = 0x4000; (s & mask) == 0 && exponent > 0; mask >>= 1)
        --exponent;
    const int mantissa = (s >> (exponent + 3)) & 0x0F;
    return static_cast<uint8_t>(~(sign | (exponent << 4) | mantissa));
}

int16_t UlawToLinear(uint8_t code)
{
    const int u = ~code & 0xFF;
    int t = ((u & 0x0F) << 3) + 0x84;
    t <<= (u & 0x70) >> 4;
    return static_cast<int16_t>((u & 0x80) ? 0x84 - t : t - 0x84);
}

double ToneShare(const int16_t* samples, size_t count, double hz)
{
    const double w = 2 * kPi * hz / kRate, c = 2 * std::cos(w);
    double s1 = 0, s2 = 0, energy = 0;
    for (size_t i = 0; i < count; ++i) {
        const double s0 = samples[i] + c * s1 - s2;
        s2 = s1;
        s1 = s0;
        energy += static_cast<double>(samples[i]) * samples[i];
    }
    if (energy <= 1e6)
        return 0;
    return 2 * (s1 * s1 + s2 * s2 - c * s1 * s2) / (static_cast<double>(count) * energy);
}

ToneParty::ToneParty(double toneHz, int amplitude) : m_toneHz(toneHz), m_amplitude(amplitude)
{
    m_socket = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof a;
    if (m_socket != INVALID_SOCKET && ::bind(m_socket, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(m_socket, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        m_port = ntohs(a.sin_port);
    m_thread = std::thread([this] { Run(); });
}

ToneParty::~ToneParty()
{
    m_quit = true;
    m_thread.join();
    if (m_socket != INVALID_SOCKET)
        ::closesocket(m_socket);
}

std::vector<int16_t> ToneParty::Heard() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_heard;
}

size_t ToneParty::PacketsHeard() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_packetsHeard;
}

void ToneParty::Clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_heard.clear();
    m_packetsHeard = 0;
}

void ToneParty::Run()
{
    if (m_socket == INVALID_SOCKET)
        return;
    sockaddr_in phone = {};
    bool knowPhone = false;
    const uint32_t ssrc = 0x51A70000u + static_cast<uint32_t>(m_port);
    uint16_t seq = 1;
    uint32_t timestamp = 0;
    LARGE_INTEGER frequency, start, now;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&start);
    long long framesSent = 0;
    while (!m_quit) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(m_socket, &set);
        timeval tv = {0, 2000};
        if (::select(0, &set, nullptr, nullptr, &tv) > 0) {
            unsigned char buf[2048];
            sockaddr_in from = {};
            int fromLen = sizeof from;
            const int n = ::recvfrom(m_socket, reinterpret_cast<char*>(buf), sizeof buf, 0,
                                     reinterpret_cast<sockaddr*>(&from), &fromLen);
            // RTP version 2, payload type 0 (PCMU); RTCP and events are left aside.
            if (n > 12 && (buf[0] >> 6) == 2 && (buf[1] & 0x7F) == 0) {
                const int header = 12 + 4 * (buf[0] & 0x0F);
                std::lock_guard<std::mutex> lock(m_mutex);
                for (int i = header; i < n; ++i)
                    m_heard.push_back(UlawToLinear(buf[i]));
                ++m_packetsHeard;
                if (!knowPhone) {
                    phone = from;
                    knowPhone = true;
                    ::QueryPerformanceCounter(&start);
                    framesSent = 0;
                }
            }
        }
        if (!knowPhone)
            continue;
        ::QueryPerformanceCounter(&now);
        const long long due = (now.QuadPart - start.QuadPart) * 50 / frequency.QuadPart + 1;
        while (framesSent < due) {
            unsigned char packet[12 + kFrame];
            packet[0] = 0x80;
            packet[1] = 0;
            packet[2] = static_cast<unsigned char>(seq >> 8);
            packet[3] = static_cast<unsigned char>(seq);
            for (int i = 0; i < 4; ++i) {
                packet[4 + i] = static_cast<unsigned char>(timestamp >> (24 - 8 * i));
                packet[8 + i] = static_cast<unsigned char>(ssrc >> (24 - 8 * i));
            }
            for (int i = 0; i < kFrame; ++i) {
                const double t = static_cast<double>(timestamp + static_cast<uint32_t>(i)) / kRate;
                packet[12 + i] = LinearToUlaw(static_cast<int16_t>(m_amplitude * std::sin(2 * kPi * m_toneHz * t)));
            }
            ::sendto(m_socket, reinterpret_cast<const char*>(packet), sizeof packet, 0,
                     reinterpret_cast<const sockaddr*>(&phone), sizeof phone);
            ++seq;
            timestamp += kFrame;
            ++framesSent;
            ++m_sent;
        }
    }
}

}  // namespace partytest
