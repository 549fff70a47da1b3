// Named locks and the text of system error numbers.
#include <cstdio>
#include <cstring>

#include "txc_log.h"
#include "txc_log_state.h"

// The client is single-threaded; the locks only keep the callers' failure
// paths honest, so they always succeed.
txc_mutex_t mutex_create(const char * /*name*/) { return 1; }
int mutex_lock(txc_mutex_t /*handle*/) { return 1; }
int mutex_unlock(txc_mutex_t /*handle*/) { return 1; }
int mutex_destroy(txc_mutex_t /*handle*/) { return 0; }

const char *stdlib_error(int errnum) {
  // A per-thread copy, so that a multi-threaded program (the stand-in
  // daemon) never reads a text another thread is rewriting.
  static thread_local char text[256];
  txc_mutex_t lock = txc_log_state().error_lock;
  if (!mutex_lock(lock)) {
    txc_log_message(TXC_LOG_ERROR, "txlib: stdlib_error: cannot lock mutex");
    return "error get stdlib error string";
  }
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
  // GNU strerror_r may return a static text instead of filling the buffer.
  const char *msg = strerror_r(errnum, text, sizeof text);
  if (msg != text) {
    strncpy(text, msg, sizeof text - 1);
    text[sizeof text - 1] = '\0';
  }
#else
  if (strerror_r(errnum, text, sizeof text) != 0) snprintf(text, sizeof text, "error %d", errnum);
#endif
  if (!mutex_unlock(lock))
    txc_log_message(TXC_LOG_ERROR, "txlib: stdlib_error: cannot unlock mutex");
  return text;
}
