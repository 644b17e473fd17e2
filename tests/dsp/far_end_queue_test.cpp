// The far-end reference queue as event scripts: pushes and pops with the
// frame each pop returns and the counters afterwards; then both ends on
// their own threads.
#include <gtest/gtest.h>

#include <atomic>
#include <sstream>
#include <thread>

#include "dsp/far_end_queue.h"

using callctl::dsp::FarEndQueue;
using callctl::dsp::kFrameSamples;

namespace {

// A frame whose every sample carries its number.
void make_frame(int16_t id, int16_t *frame) { std::fill(frame, frame + kFrameSamples, id); }

// Runs a script on q. Tokens: "pN" push N frames (numbered on from 0),
// "gN" pop N frames, "xN" N times push one and pop one, "bN" N bursts of
// two pushes and two pops, "c" clear.
// Returns the id of every pop ('-' for silence), space-separated; a torn
// frame (mixed samples) shows as '?'.
std::string play(FarEndQueue &q, const std::string &script) {
    std::istringstream in(script);
    std::string tok, popped;
    int16_t next = 0;
    auto push = [&] {
        int16_t f[kFrameSamples];
        make_frame(next++, f);
        q.push(f);
    };
    auto pop = [&] {
        int16_t f[kFrameSamples];
        bool got = q.pop(f);
        bool same = std::all_of(f, f + kFrameSamples, [&](int16_t v) { return v == f[0]; });
        if (!popped.empty())
            popped += ' ';
        if (!same)
            popped += '?';
        else if (!got)
            popped += f[0] == 0 ? "-" : "!";
        else
            popped += std::to_string(f[0]);
    };
    while (in >> tok) {
        int n = tok.size() > 1 ? std::stoi(tok.substr(1)) : 1;
        for (int i = 0; i < n; i++) {
            switch (tok[0]) {
            case 'p': push(); break;
            case 'g': pop(); break;
            case 'x': push(); pop(); break;
            case 'b': push(); push(); pop(); pop(); break;
            case 'c': q.clear(); break;
            default: ADD_FAILURE() << "bad token " << tok; return popped;
            }
        }
    }
    return popped;
}

std::string last_word(const std::string &s) {
    size_t sp = s.rfind(' ');
    return sp == std::string::npos ? s : s.substr(sp + 1);
}

}  // namespace

TEST(FarEndQueueScript, PopsPushesInOrderAndCountsEveryFrame) {
    struct Row {
        const char *script;
        const char *last_pop;  // the last pop's frame, "-" silence
        uint64_t pushed, popped, underruns, overflows, trimmed;
        size_t depth;
    } rows[] = {
        // script                   last   push  pop  under over trim depth
        {"g1",                       "-",    0,   0,    1,   0,   0,   0},   // nothing played yet
        {"p3 g2",                    "1",    3,   2,    0,   0,   0,   1},
        {"p1 g3",                    "-",    1,   1,    2,   0,   0,   0},   // capture ahead of playback
        {"p17 g1",                   "1",   17,   1,    0,   1,   0,  15},   // full: oldest dropped
        {"p40 g1",                   "24",  40,   1,    0,  24,   0,  15},
        {"p3 c g1",                  "-",    3,   0,    1,   0,   0,   0},
        {"p5 x49",                   "48",  54,  49,    0,   0,   0,   5},   // window not over yet
        {"p5 x50",                   "49",  55,  50,    0,   0,   4,   1},   // standing depth 5 cut to 1
        {"p5 x50 x1",                "54",  56,  51,    0,   0,   4,   1},   // ...so the reference jumps ahead
        {"p1 x50",                   "49",  51,  50,    0,   0,   0,   1},   // depth 1 may stand
        {"b25",                      "49",  50,  50,    0,   0,   0,   0},   // bursts: no standing depth
        {"p4 g1 p1 g2 p1 x60",       "63",  66,  63,    0,   0,   1,   2},   // the dip to 2 counts
    };
    for (const Row &r : rows) {
        FarEndQueue q;
        std::string pops = play(q, r.script);
        SCOPED_TRACE(r.script);
        EXPECT_EQ(pops.find('?'), std::string::npos) << pops;
        EXPECT_EQ(last_word(pops), r.last_pop) << pops;
        FarEndQueue::Counters c = q.counters();
        EXPECT_EQ(c.pushed, r.pushed);
        EXPECT_EQ(c.popped, r.popped);
        EXPECT_EQ(c.underruns, r.underruns);
        EXPECT_EQ(c.overflows, r.overflows);
        EXPECT_EQ(c.trimmed, r.trimmed);
        EXPECT_EQ(c.depth, r.depth);
    }
}

TEST(FarEndQueueScript, PopsComeOutOldestFirst) {
    FarEndQueue q;
    EXPECT_EQ(play(q, "p4 g5"), "0 1 2 3 -");
}

TEST(FarEndQueueThreads, PlaybackAndCaptureThreadsNeverTearOrReorderFrames) {
    FarEndQueue q;
    constexpr int kFrames = 3000;
    std::atomic<bool> go{false};
    std::thread playback([&] {
        while (!go.load()) {
        }
        int16_t f[kFrameSamples];
        for (int i = 0; i < kFrames; i++) {
            make_frame(static_cast<int16_t>(i + 1), f);
            q.push(f);
            if (i % 7 == 0)
                std::this_thread::yield();
        }
    });
    int last = 0, torn = 0, backwards = 0;
    go.store(true);
    for (int i = 0; i < kFrames; i++) {
        int16_t f[kFrameSamples];
        if (q.pop(f)) {
            if (!std::all_of(f, f + kFrameSamples, [&](int16_t v) { return v == f[0]; }))
                torn++;
            if (f[0] <= last)
                backwards++;
            last = f[0];
        }
        if (i % 5 == 0)
            std::this_thread::yield();
    }
    playback.join();
    FarEndQueue::Counters c = q.counters();
    EXPECT_EQ(torn, 0);
    EXPECT_EQ(backwards, 0);
    EXPECT_EQ(c.pushed, static_cast<uint64_t>(kFrames));
    EXPECT_EQ(c.popped + c.underruns, static_cast<uint64_t>(kFrames));
    EXPECT_EQ(c.pushed, c.popped + c.overflows + c.trimmed + c.depth);
}
