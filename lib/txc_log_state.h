// Log state shared by the log set-up (txc_lib) and the writer (txc_log).
#ifndef TXLIB_TXC_LOG_STATE_H_
#define TXLIB_TXC_LOG_STATE_H_

#include "txc_log.h"

struct txc_log_state_t {
  bool enabled = false;
  int max_level = 0;
  bool syslog_mode = true;
  int priority1 = 0;
  int priority2 = 0;
  txc_mutex_t error_lock = 0;
};

txc_log_state_t &txc_log_state();

#endif  // TXLIB_TXC_LOG_STATE_H_
