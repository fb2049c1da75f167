// Counts heap allocations of the whole program: every operator new, and every
// allocation OpenSSL makes. Linking tests/support/allocation_counter.cpp into a
// program (the object library sorvane_allocation_counter) replaces the global
// operator new, so it belongs to programs of their own.
#pragma once

#include <cstdint>

namespace sorvane::test {

// Allocations so far; take the difference around the code under study.
uint64_t allocation_count();

// False when OpenSSL had allocated before the counter could be installed, so
// its allocations are not in the count.
bool counting_openssl_allocations();

}  // namespace sorvane::test
