// Log set-up and the one entry point of every message.
#include <strings.h>

#include <cstdarg>

#include "txc_log.h"
#include "txc_log_state.h"

void txc_log_open(const char *target, int max_level, int priority1, int priority2) {
  txc_log_state_t &st = txc_log_state();
  st.enabled = max_level > 0;
  st.max_level = max_level > 0 ? max_level : 0;
  if (target == nullptr) {
    st.syslog_mode = true;
  } else {
    st.syslog_mode = false;
    // Standard error is the only target that can be named.
    if (strncasecmp(target, "console", 7) != 0) st.enabled = false;
  }
  st.priority1 = priority1;
  st.priority2 = priority2;
  if (st.error_lock == 0) st.error_lock = mutex_create("Tavrix::StdlibError");
}

void txc_log_message(int level, const char *format, ...) {
  if (format == nullptr || !txc_log_state().enabled) return;
  va_list args;
  va_start(args, format);
  txc_log_write(level, format, args);
  va_end(args);
}
