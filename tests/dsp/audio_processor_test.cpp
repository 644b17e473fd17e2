// Capture-path processing: echo cancellation in a simulated room, noise
// suppression, automatic gain, pass-through and click-free switching.
#include <gtest/gtest.h>

#include <functional>

#include "dsp/audio_processor.h"
#include "signals.h"

using namespace callctl::dsp;
using dsptest::Signal;

namespace {

constexpr size_t kSecond = 8000;

// Drives the processor as the media path does: every 20 ms tick hands the
// far-end frame to the speaker side, then processes the microphone frame.
// `tick(frame_index)` runs before each frame (to switch modes). The result is
// shifted back by the processor's latency, so out[n] lines up with mic[n].
Signal run(AudioProcessor &ap, const Signal *far, const Signal &mic,
           const std::function<void(size_t)> &tick = {}) {
    size_t n = mic.size() / kFrameSamples * kFrameSamples;
    Signal out(n + AudioProcessor::kLatencySamples, 0);
    for (size_t f = 0; f < n; f += kFrameSamples) {
        if (tick)
            tick(f / kFrameSamples);
        if (far)
            ap.far_end(far->data() + f);
        std::copy(mic.begin() + static_cast<long>(f), mic.begin() + static_cast<long>(f + kFrameSamples),
                  out.begin() + static_cast<long>(f));
        ap.process_capture(out.data() + f);
    }
    out.erase(out.begin(), out.begin() + static_cast<long>(AudioProcessor::kLatencySamples));
    out.resize(mic.size(), 0);
    return out;
}

Signal placed(const Signal &x, size_t at, size_t total) {
    Signal y(total, 0);
    for (size_t i = 0; i < x.size() && at + i < total; i++)
        y[at + i] = x[i];
    return y;
}

// The room of the echo tests: the far end plays from 0 s for about 14 s; the
// local talker speaks from 9 s to about 20 s (double talk 9-14 s). The echo
// reaches the microphone 60 ms after the frame is handed to the speaker
// (device latencies and 1 m of air), reverberates for 120 ms, 6 dB quieter.
struct Room {
    Signal far, echo, near, mic;
    size_t far_end = 0, near_from = 9 * kSecond, near_end = 0;
};

Room make_room() {
    Room r;
    Signal far = dsptest::speech("far", -20);
    Signal near = dsptest::speech("near", -26);
    if (far.empty() || near.empty())
        return r;
    size_t total = r.near_from + near.size() + kSecond / 2;
    r.far = placed(far, 0, total);
    r.far_end = far.size();
    r.near = placed(near, r.near_from, total);
    r.near_end = r.near_from + near.size();
    r.echo = dsptest::convolve(r.far, dsptest::room_response(480, 120, -6, 11));
    r.mic = dsptest::mix(dsptest::mix(r.echo, r.near), dsptest::white_noise(total, -65, 3));
    return r;
}

// `x` as the capture path with the canceller on passes it when there is
// nothing to cancel (no far-end reference): the canceller's input filter
// takes out the band below about 200 Hz. The reference for what echo
// cancellation removed or kept, so that band does not count as either.
Signal passed(const Signal &x) {
    AudioProcessor ap({true, false, false});
    return run(ap, nullptr, x);
}

}  // namespace

// ---- echo cancellation ------------------------------------------------------------

TEST(EchoCancel, RoomEchoIsRemovedAndTheLocalTalkerKept) {
    Room room = make_room();
    ASSERT_FALSE(room.mic.empty());
    AudioProcessor ap({true, false, false});
    Signal out = run(ap, &room.far, room.mic);
    Signal echo = passed(room.echo);
    Signal near = passed(room.near);

    // Far end alone, after 2 s of convergence.
    double erle = dsptest::ratio_db(echo, out, 2 * kSecond, room.near_from);
    double erle_first = dsptest::ratio_db(echo, out, 0, 2 * kSecond);
    // Local talker alone, and both talking.
    double corr_near = dsptest::correlation(near, out, room.far_end, room.near_end);
    double keep_near = dsptest::ratio_db(out, near, room.far_end, room.near_end);
    double corr_double = dsptest::correlation(near, out, room.near_from, room.far_end);
    double keep_double = dsptest::ratio_db(out, near, room.near_from, room.far_end);
    double raw_corr = dsptest::correlation(room.near, out, room.far_end, room.near_end);
    std::printf("AEC: ERLE %.1f dB after 2 s (%.1f dB in the first 2 s); local talker alone: correlation "
                "%.3f (%.3f before the band limit), level %+.1f dB; double talk: correlation %.3f, "
                "level %+.1f dB\n",
                erle, erle_first, corr_near, raw_corr, keep_near, corr_double, keep_double);
    RecordProperty("erle_db", std::to_string(erle));
    EXPECT_GE(erle, 20.0);
    EXPECT_GE(corr_near, 0.95);
    EXPECT_NEAR(keep_near, 0.0, 2.0);
    EXPECT_GE(corr_double, 0.7);
    FarEndQueue::Counters c = ap.far_end_counters();
    EXPECT_EQ(c.underruns, 0u);
    EXPECT_EQ(c.trimmed, 0u);
}

TEST(EchoCancel, PlaybackStartedBeforeCaptureIsRealignedByTheQueue) {
    // Playback ran 10 frames (200 ms) before the microphone opened: without
    // trimming, every reference would be 200 ms older than its echo and
    // nothing could be cancelled.
    Room room = make_room();
    ASSERT_FALSE(room.mic.empty());
    const size_t lead = 10;
    AudioProcessor ap({true, false, false});
    for (size_t f = 0; f < lead; f++)
        ap.far_end(room.far.data() + f * kFrameSamples);
    // The microphone hears the room from the moment the first frame played.
    Signal mic = dsptest::slice(room.mic, lead * kFrameSamples, room.mic.size());
    Signal far = dsptest::slice(room.far, lead * kFrameSamples, room.far.size());
    Signal echo = passed(dsptest::slice(room.echo, lead * kFrameSamples, room.echo.size()));
    Signal out = run(ap, &far, mic);
    double erle = dsptest::ratio_db(echo, out, 3 * kSecond, room.near_from - lead * kFrameSamples);
    FarEndQueue::Counters c = ap.far_end_counters();
    std::printf("AEC with playback 200 ms ahead: ERLE %.1f dB from 3 s, %llu frames trimmed\n", erle,
                static_cast<unsigned long long>(c.trimmed));
    EXPECT_EQ(c.trimmed, lead - FarEndQueue::kStandingFrames);
    EXPECT_GE(erle, 20.0);
}

TEST(EchoCancel, SwitchedOffPassesTheMicrophoneAndOnAgainReconverges) {
    Room room = make_room();
    ASSERT_FALSE(room.mic.empty());
    AudioProcessor ap({true, false, false});
    // On 0-3 s, off 3-5 s, on again from 5 s.
    Signal out = run(ap, &room.far, room.mic, [&](size_t frame) {
        if (frame == 150)
            ap.set_echo_cancel(false);
        if (frame == 250)
            ap.set_echo_cancel(true);
    });
    Signal echo = passed(room.echo);
    double erle_on = dsptest::ratio_db(echo, out, 2 * kSecond, 3 * kSecond);
    double erle_off = dsptest::ratio_db(room.echo, out, 3 * kSecond + 320, 5 * kSecond);
    double erle_again = dsptest::ratio_db(echo, out, 7 * kSecond, room.near_from);
    double corr_off = dsptest::correlation(room.mic, out, 3 * kSecond + 320, 5 * kSecond);
    std::printf("AEC switching: ERLE %.1f dB on, %.1f dB off (correlation with the microphone %.4f), "
                "%.1f dB 2-4 s after switching on again\n",
                erle_on, erle_off, corr_off, erle_again);
    EXPECT_GE(erle_on, 20.0);
    EXPECT_NEAR(erle_off, 0.0, 0.5);
    EXPECT_GT(corr_off, 0.999);
    EXPECT_GE(erle_again, 20.0);
    EXPECT_FALSE(ap.modes().noise_suppress);
    EXPECT_TRUE(ap.modes().echo_cancel);
}

// ---- pass-through and switching ------------------------------------------------------

TEST(AudioSwitching, EverythingOffPassesTheSignalUnchangedAfterTheLatency) {
    Signal mic = dsptest::speech("near", -20);
    ASSERT_FALSE(mic.empty());
    AudioProcessor ap;
    Signal out = run(ap, nullptr, mic);
    double snr = dsptest::snr_db(mic, out, 0, mic.size() - kFrameSamples);
    std::printf("pass-through: SNR %.1f dB against the input %zu samples earlier\n", snr,
                AudioProcessor::kLatencySamples);
    EXPECT_GE(snr, 40.0);
}

TEST(AudioSwitching, TogglingAnyModeMidStreamMakesNoClick) {
    // A low hum from the local talker plus the echo of a tone: every sample
    // step of the clean output is small, while a hard switch between the
    // cancelled and the plain microphone signal would jump by the echo's
    // amplitude.
    const size_t n = 12 * kSecond;
    Signal far = dsptest::sine(n, 350, -12);
    Signal echo = dsptest::convolve(far, dsptest::room_response(480, 60, -3, 5));
    Signal mic = dsptest::mix(dsptest::mix(echo, dsptest::sine(n, 150, -20)), dsptest::white_noise(n, -70, 9));
    // The largest step a continuous signal of these components can make,
    // with the AGC's full gain on top.
    int natural = dsptest::max_step(mic, kSecond, n);

    AudioProcessor ap({true, true, false});
    size_t toggles = 0;
    Signal out = run(ap, &far, mic, [&](size_t frame) {
        if (frame < 100 || frame % 13 != 0)
            return;
        switch ((frame / 13) % 3) {
        case 0: ap.set_echo_cancel(!ap.modes().echo_cancel); break;
        case 1: ap.set_noise_suppress(!ap.modes().noise_suppress); break;
        default: ap.set_auto_gain(!ap.modes().auto_gain); break;
        }
        toggles++;
    });
    int worst = dsptest::max_step(out, 2 * kSecond, n - kFrameSamples);
    std::printf("switching: %zu toggles, largest output step %d, largest input step %d\n", toggles, worst,
                natural);
    ASSERT_GT(toggles, 30u);
    EXPECT_LE(worst, natural * 2);
}

// ---- noise suppression -------------------------------------------------------------

TEST(NoiseSuppress, StationaryNoiseDropsByTenDecibelsAndSpeechStays) {
    Signal talk = dsptest::speech("near", -20);
    ASSERT_FALSE(talk.empty());
    const size_t from = 4 * kSecond, total = from + talk.size() + 3 * kSecond;
    Signal clean = placed(talk, from, total);
    for (auto make : {&dsptest::white_noise, &dsptest::hum_noise}) {
        Signal noise = make(total, -40, 21);
        Signal mic = dsptest::mix(clean, noise);
        AudioProcessor off, on({false, true, false});
        Signal out_off = run(off, nullptr, mic);
        Signal out_on = run(on, nullptr, mic);
        // Noise alone, after 1 s of learning, and after the speech.
        double drop_lead = dsptest::ratio_db(out_off, out_on, kSecond, from);
        double drop_tail = dsptest::ratio_db(out_off, out_on, from + talk.size() + kSecond / 2, total);
        double corr = dsptest::correlation(clean, out_on, from, from + talk.size());
        double corr_off = dsptest::correlation(clean, out_off, from, from + talk.size());
        double level = dsptest::active_level_dbfs(dsptest::slice(out_on, from, from + talk.size())) -
                       dsptest::active_level_dbfs(talk);
        std::printf("NS (%s noise at -40 dBFS): noise down %.1f dB (before speech) / %.1f dB (after); "
                    "speech correlation %.3f (%.3f without NS), speech level %+.1f dB\n",
                    make == &dsptest::white_noise ? "white" : "fan", drop_lead, drop_tail, corr, corr_off, level);
        EXPECT_GE(drop_lead, 10.0);
        EXPECT_GE(drop_tail, 10.0);
        EXPECT_GT(corr, corr_off);
        EXPECT_NEAR(level, 0.0, 3.0);
    }
}

// ---- automatic gain ----------------------------------------------------------------

TEST(AutoGain, QuietTalkerIsRaisedTowardTheTarget) {
    Signal talk = dsptest::speech("near", -40);
    ASSERT_FALSE(talk.empty());
    Signal mic;
    for (int i = 0; i < 3; i++)
        mic.insert(mic.end(), talk.begin(), talk.end());
    mic = dsptest::mix(mic, dsptest::white_noise(mic.size(), -75, 4));

    AudioProcessor off, on({false, false, true});
    Signal out_off = run(off, nullptr, mic);
    Signal out_on = run(on, nullptr, mic);
    auto level_of_pass = [&](const Signal &x, int pass) {
        return dsptest::active_level_dbfs(dsptest::slice(x, talk.size() * pass, talk.size() * (pass + 1)));
    };
    double first = level_of_pass(out_on, 0), last = level_of_pass(out_on, 2);
    double from3s = dsptest::active_level_dbfs(dsptest::slice(out_on, 3 * kSecond, talk.size()));
    double plain = level_of_pass(out_off, 2);
    std::printf("AGC: talker at %.1f dBFS; with AGC %.1f dBFS in the first %zu s (%.1f dBFS from 3 s on), "
                "%.1f dBFS in the third pass (target %d dBFS), gain now %d dB\n",
                plain, first, talk.size() / kSecond, from3s, last, AudioProcessor::kAgcTargetDbfs,
                on.agc_gain_db());
    EXPECT_NEAR(plain, -40.0, 1.0);
    EXPECT_GT(last, plain + 12.0);
    EXPECT_NEAR(last, AudioProcessor::kAgcTargetDbfs, 4.0);
    EXPECT_NEAR(from3s, AudioProcessor::kAgcTargetDbfs, 4.0);
    EXPECT_GT(on.agc_gain_db(), 12);
    EXPECT_EQ(off.agc_gain_db(), 0);
}

TEST(AutoGain, LoudTalkerIsBroughtDownWithoutClipping) {
    Signal talk = dsptest::speech("far", -6);
    ASSERT_FALSE(talk.empty());
    AudioProcessor on({false, false, true});
    Signal out = run(on, nullptr, talk);
    double level = dsptest::active_level_dbfs(dsptest::slice(out, 4 * kSecond, talk.size()));
    size_t clipped = 0;
    for (int16_t v : out)
        clipped += v == 32767 || v == -32768;
    std::printf("AGC: loud talker at -6 dBFS comes out at %.1f dBFS after 4 s, %zu clipped samples\n", level,
                clipped);
    EXPECT_NEAR(level, AudioProcessor::kAgcTargetDbfs, 4.0);
    EXPECT_EQ(clipped, 0u);
}
