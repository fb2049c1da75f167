#include <sys/random.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/linux/random_fault.h"
#include "platform/random.h"

namespace sorvane::platform {

namespace {

// The test fault plan in one word, so that threads see it whole: the high half
// counts calls still to pass, the low half calls to fail after them
// (kAlways: every call, until reset).
constexpr uint32_t kAlways = UINT32_MAX;
std::atomic<uint64_t> g_plan{0};

bool fault_hit() {
    uint64_t plan = g_plan.load(std::memory_order_relaxed);
    for (;;) {
        auto pass = static_cast<uint32_t>(plan >> 32);
        auto fail = static_cast<uint32_t>(plan);
        if (fail == 0) return false;
        if (pass == 0 && fail == kAlways) return true;
        const bool hit = pass == 0;
        if (hit) {
            --fail;
        } else {
            --pass;
        }
        if (g_plan.compare_exchange_weak(plan, static_cast<uint64_t>(pass) << 32 | fail,
                                         std::memory_order_relaxed)) {
            return hit;
        }
    }
}

}  // namespace

namespace test_faults {

void fail_random_calls(uint32_t pass, uint32_t fail) {
    if (fail == kAlways) fail = kAlways - 1;
    g_plan.store(fail == 0 ? 0 : static_cast<uint64_t>(pass) << 32 | fail);
}
void fail_random_until_reset() { g_plan.store(kAlways); }
void reset_random_faults() { g_plan.store(0); }

}  // namespace test_faults

bool secure_random(void* buf, size_t n) {
    if (fault_hit()) {
        // Like a real failure part-way: the caller must not use what is there.
        std::memset(buf, 0, n);
        return false;
    }
    auto* p = static_cast<unsigned char*>(buf);
    while (n > 0) {
        const ssize_t got = getrandom(p, n, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += got;
        n -= static_cast<size_t>(got);
    }
    return true;
}

uint32_t random_u32() {
    uint32_t v = 0;
    if (!secure_random(&v, sizeof v)) return 0;
    return v;
}

}  // namespace sorvane::platform
