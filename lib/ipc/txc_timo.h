// Timeouts in milliseconds and the time bookkeeping of a channel's budget.
#ifndef TXLIB_IPC_TXC_TIMO_H_
#define TXLIB_IPC_TXC_TIMO_H_

#include <sys/time.h>

#include <cstdint>

// -2 .. 14400000: a bound in ms (0 = do not wait), -1 no limit, -2 used up.
typedef int32_t txc_timeout_t;
constexpr txc_timeout_t TXC_TIMEOUT_INFINITE = -1;
constexpr txc_timeout_t TXC_TIMEOUT_EXPIRED = -2;
constexpr txc_timeout_t TXC_TIMEOUT_MAX = 14400000;
#define TXC_TIMEOUT_VALID(t) ((-2 <= (t)) && ((t) <= 14400000))

// Wall-clock stamp: seconds and microseconds (0 .. 999999).
struct txc_timestamp {
  int32_t sec;
  int32_t usec;
};

// txc_timo
struct timeval *timeout_to_timeval(txc_timeout_t timeout, struct timeval *timev_ptr);
struct timeval *timeout_to_system(txc_timeout_t timeout, struct timeval *stimo_ptr);
int timeval_to_timeout(int seconds, int microseconds);

// Time bookkeeping (module txc_ipc).
txc_timestamp current_time();
txc_timestamp timeout_start(txc_timeout_t timeout);
int timeout_elapsed(txc_timestamp start, txc_timestamp end);
txc_timeout_t timeout_left(txc_timeout_t timeout, txc_timestamp start);

#endif  // TXLIB_IPC_TXC_TIMO_H_
