// Time bookkeeping of a channel's timeout budget, on the wall clock.
#define TXC_MODULE "txc_ipc"

#include <sys/time.h>

#include <ctime>

#include "ipc/txc_timo.h"

txc_timestamp current_time() {
  struct timeval tv;
  txc_timestamp ts;
  if (gettimeofday(&tv, nullptr) == 0) {
    ts.sec = static_cast<int32_t>(tv.tv_sec);
    ts.usec = static_cast<int32_t>(tv.tv_usec);
  } else {
    ts.sec = static_cast<int32_t>(time(nullptr));
    ts.usec = 0;
  }
  return ts;
}

txc_timestamp timeout_start(txc_timeout_t timeout) {
  if (timeout == TXC_TIMEOUT_INFINITE) return txc_timestamp{0, 0};
  return current_time();
}

int timeout_elapsed(txc_timestamp start, txc_timestamp end) {
  int32_t sec = end.sec - start.sec;
  int32_t usec = end.usec - start.usec;
  if (usec < 0) {
    sec -= 1;
    usec += 1000000;
  }
  return timeval_to_timeout(sec, usec);
}

txc_timeout_t timeout_left(txc_timeout_t timeout, txc_timestamp start) {
  if (timeout == TXC_TIMEOUT_INFINITE) return TXC_TIMEOUT_INFINITE;
  const int elapsed = timeout_elapsed(start, current_time());
  // A clock set back counts as a used-up budget rather than as extra time.
  if (elapsed < 0 || elapsed >= timeout) return TXC_TIMEOUT_EXPIRED;
  return timeout - elapsed;
}
