// The library's one allocation point. Every heap block the library makes
// comes from here, so that tests can make any single allocation fail and
// check the "cannot allocate memory" paths. Blocks are plain malloc blocks:
// texts handed to callers are released with free().
#ifndef TXLIB_TXC_ALLOC_H_
#define TXLIB_TXC_ALLOC_H_

#include <cstddef>

void *txc_malloc(size_t size);
void *txc_calloc(size_t count, size_t size);
void *txc_realloc(void *ptr, size_t size);
char *txc_strdup(const char *s);
char *txc_strndup(const char *s, size_t n);
void txc_free(void *ptr);

// Test control. txc_alloc_fail_at(n, all_after): the n-th allocation from
// now (1 = the next one) fails, and with all_after every later one too;
// n = 0 switches injection off. txc_alloc_count() counts allocations
// attempted since the last txc_alloc_fail_at or txc_alloc_reset.
void txc_alloc_fail_at(long nth, bool all_after = false);
void txc_alloc_reset();
long txc_alloc_count();
long txc_alloc_failures();

#endif  // TXLIB_TXC_ALLOC_H_
