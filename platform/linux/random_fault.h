// A fault point of the Linux secure random source, for tests only: makes the
// source report failure so that the callers' refusal paths can be driven.
// Programs never include this header.
#pragma once

#include <cstdint>

namespace sorvane::platform::test_faults {

// After `pass` more calls succeed, the next `fail` calls of secure_random fail
// (fail 0 clears the fault). A later call replaces an earlier plan.
void fail_random_calls(uint32_t pass, uint32_t fail);
// Every call fails until reset_random_faults.
void fail_random_until_reset();
void reset_random_faults();

}  // namespace sorvane::platform::test_faults
