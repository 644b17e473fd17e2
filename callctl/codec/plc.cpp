#include "plc.h"

#include <algorithm>
#include <cstring>

// The library is static and its functions plain C functions on every target
// (build-spandsp-plc.sh): spandsp's telephony.h, which would make them
// __stdcall DLL imports on Windows, is not used.
#define SPAN_DECLARE(type) type
#include <spandsp/plc.h>

namespace callctl::codec {

struct LossConcealer::State {
    plc_state_t plc;
};

LossConcealer::LossConcealer() : s_(std::make_unique<State>()) { plc_init(&s_->plc); }

LossConcealer::~LossConcealer() = default;

void LossConcealer::played(int16_t *pcm, size_t n) {
    if (n) plc_rx(&s_->plc, pcm, int(n));
}

void LossConcealer::conceal(int16_t *pcm, size_t n) {
    if (n == 0) return;
    plc_state_t &p = s_->plc;
    if (p.missing_samples == 0 && p.buf_ptr != 0) {
        // A gap starts: plc_fillin() first turns its history ring into a
        // line, oldest first, with memcpy() between overlapping ranges
        // (undefined, and caught by the address sanitizer). Done here
        // first, its own step finds nothing to do.
        std::rotate(p.history, p.history + p.buf_ptr, p.history + PLC_HISTORY_LEN);
        p.buf_ptr = 0;
    }
    // The first call of a gap writes a quarter pitch period (up to
    // PLC_PITCH_OVERLAP_MAX samples) whatever n is: a shorter piece goes
    // through a buffer that has room for it.
    if (p.missing_samples == 0 && n < size_t(PLC_PITCH_OVERLAP_MAX)) {
        int16_t tmp[PLC_PITCH_OVERLAP_MAX];
        plc_fillin(&p, tmp, int(n));
        std::memcpy(pcm, tmp, n * sizeof(int16_t));
        return;
    }
    plc_fillin(&p, pcm, int(n));
}

}  // namespace callctl::codec
