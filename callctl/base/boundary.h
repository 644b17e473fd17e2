// Exceptions never cross between the library and the program.
//
// Inward: every function of the C interface runs its body through
// `guarded`, which turns an exception escaping it into a result code
// (SIPX_RESULT_OUT_OF_MEMORY for std::bad_alloc, SIPX_RESULT_FAILURE for
// anything else) and logs it. Outward: the program's listeners and log
// callback are called through `call_out`, so whatever they throw stays on
// the program's side of the boundary instead of unwinding a library thread.
#pragma once

#include <exception>
#include <new>

#include "../include/callctl.h"

namespace callctl {

// Logs an exception stopped at the boundary (an ERROR entry); never throws.
void log_escaped(const char *where, const char *what) noexcept;

template <class Body>
SIPX_RESULT guarded(const char *function, Body &&body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc &) {
        log_escaped(function, "out of memory");
        return SIPX_RESULT_OUT_OF_MEMORY;
    } catch (const std::exception &e) {
        log_escaped(function, e.what());
        return SIPX_RESULT_FAILURE;
    } catch (...) {
        log_escaped(function, "an exception of unknown type");
        return SIPX_RESULT_FAILURE;
    }
}

// Calls into the program; false when the call threw.
template <class Fn>
bool call_out(Fn &&fn) noexcept {
    try {
        fn();
        return true;
    } catch (...) {
        return false;
    }
}

}  // namespace callctl
