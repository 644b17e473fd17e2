// Key material from the system's cryptographic random source. Any thread.
#include <cstring>

#include "base.h"

#ifdef _WIN32
#include <windows.h>
// RtlGenRandom (exported by advapi32 as SystemFunction036); from Windows XP on.
#include <ntsecapi.h>
#else
#include <errno.h>
#include <sys/random.h>
#endif

namespace callctl {

bool random_key_bytes(void *out, size_t n) {
    auto *p = static_cast<unsigned char *>(out);
#ifdef _WIN32
    size_t done = 0;
    while (done < n) {
        ULONG chunk = ULONG(n - done > 0x10000 ? 0x10000 : n - done);
        if (!RtlGenRandom(p + done, chunk)) {
            wipe(out, n);
            return false;
        }
        done += chunk;
    }
    return true;
#else
    size_t done = 0;
    while (done < n) {
        // Blocks only until the kernel's pool was first seeded (early boot).
        ssize_t got = getrandom(p + done, n - done, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            wipe(out, n);
            return false;
        }
        done += size_t(got);
    }
    return true;
#endif
}

void wipe(void *p, size_t n) {
    volatile unsigned char *v = static_cast<volatile unsigned char *>(p);
    while (n--) *v++ = 0;
}

}  // namespace callctl
