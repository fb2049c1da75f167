#include "tests/support/allocation_counter.h"

#include <openssl/crypto.h>

#include <atomic>
#include <cstdlib>
#include <new>

// The counting operator new pairs malloc with free; GCC sees the inlined pair
// as mismatched.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

namespace {

std::atomic<uint64_t> g_allocations{0};

void* count_malloc(size_t n, const char*, int) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(n);
}
void* count_realloc(void* p, size_t n, const char*, int) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return std::realloc(p, n);
}
void plain_free(void* p, const char*, int) { std::free(p); }

const bool g_openssl_counted = CRYPTO_set_mem_functions(count_malloc, count_realloc, plain_free) == 1;

}  // namespace

void* operator new(std::size_t n) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace sorvane::test {

uint64_t allocation_count() { return g_allocations.load(std::memory_order_relaxed); }

bool counting_openssl_allocations() { return g_openssl_counted; }

}  // namespace sorvane::test
