#include "txc_alloc.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace {
std::atomic<long> g_count{0};
std::atomic<long> g_fail_at{0};
std::atomic<bool> g_fail_all_after{false};
std::atomic<long> g_failures{0};

// True when this allocation is to fail.
bool injected_failure() {
  long n = ++g_count;
  long at = g_fail_at.load(std::memory_order_relaxed);
  if (at <= 0) return false;
  if (n == at || (g_fail_all_after.load(std::memory_order_relaxed) && n > at)) {
    ++g_failures;
    return true;
  }
  return false;
}
}  // namespace

void *txc_malloc(size_t size) {
  if (injected_failure()) return nullptr;
  return std::malloc(size == 0 ? 1 : size);
}

void *txc_calloc(size_t count, size_t size) {
  if (injected_failure()) return nullptr;
  if (count == 0 || size == 0) return std::calloc(1, 1);
  return std::calloc(count, size);
}

void *txc_realloc(void *ptr, size_t size) {
  if (injected_failure()) return nullptr;
  return std::realloc(ptr, size == 0 ? 1 : size);
}

char *txc_strndup(const char *s, size_t n) {
  size_t len = strnlen(s, n);
  char *copy = static_cast<char *>(txc_malloc(len + 1));
  if (copy == nullptr) return nullptr;
  std::memcpy(copy, s, len);
  copy[len] = '\0';
  return copy;
}

char *txc_strdup(const char *s) { return txc_strndup(s, std::strlen(s)); }

void txc_free(void *ptr) { std::free(ptr); }

void txc_alloc_fail_at(long nth, bool all_after) {
  g_count = 0;
  g_failures = 0;
  g_fail_all_after = all_after;
  g_fail_at = nth;
}

void txc_alloc_reset() { txc_alloc_fail_at(0, false); }
long txc_alloc_count() { return g_count.load(); }
long txc_alloc_failures() { return g_failures.load(); }
