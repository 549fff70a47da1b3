// Conversions between millisecond timeouts and the system's timeval.
#define TXC_MODULE "txc_timo"

#include "ipc/txc_timo.h"

#include "txc_log.h"

struct timeval *timeout_to_timeval(txc_timeout_t timeout, struct timeval *timev_ptr) {
  TXC_ASSERT(timev_ptr);
  if (timeout == TXC_TIMEOUT_INFINITE) return nullptr;
  // A used-up budget means "do not wait": a zero timeval rather than a
  // negative one, which the system calls would refuse.
  if (timeout <= 0) {
    timev_ptr->tv_sec = 0;
    timev_ptr->tv_usec = 0;
    return timev_ptr;
  }
  const int seconds = timeout / 1000;
  timev_ptr->tv_sec = seconds;
  timev_ptr->tv_usec = (timeout - seconds * 1000) * 1000;
  return timev_ptr;
}

struct timeval *timeout_to_system(txc_timeout_t timeout, struct timeval *stimo_ptr) {
  TXC_ASSERT(stimo_ptr);
  return timeout_to_timeval(timeout, stimo_ptr);
}

int timeval_to_timeout(int seconds, int microseconds) {
  // 32-bit wrap-around arithmetic, done unsigned so that it is defined.
  const uint32_t ms =
      static_cast<uint32_t>(seconds) * 1000u + static_cast<uint32_t>(microseconds / 1000);
  return static_cast<int>(ms);
}
