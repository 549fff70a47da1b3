// The log writer, code-table lookup and the contract-check failure.
// The contract checks must end the process in every build, so the
// standard assertion failure is wanted even where NDEBUG is set.
#undef NDEBUG
#include <assert.h>

#include "txc_log.h"

#include <syslog.h>

#include <cstdio>
#include <cstdlib>

#include "txc_log_state.h"

namespace {
txc_log_hook_fn g_hook = nullptr;
void *g_hook_ctx = nullptr;
}  // namespace

txc_log_state_t &txc_log_state() {
  static txc_log_state_t state;
  return state;
}

void txc_log_set_hook(txc_log_hook_fn hook, void *ctx) {
  g_hook = hook;
  g_hook_ctx = ctx;
}

void txc_log_write(int level, const char *format, va_list args) {
  const txc_log_state_t &st = txc_log_state();
  if (level > st.max_level) return;
  if (g_hook != nullptr) {
    char text[4096];
    vsnprintf(text, sizeof text, format, args);
    g_hook(level, text, g_hook_ctx);
    return;
  }
  if (st.syslog_mode) {
    vsyslog(st.priority1 | st.priority2, format, args);
    return;
  }
  flockfile(stderr);
  vfprintf(stderr, format, args);
  putc_unlocked('\n', stderr);
  fflush_unlocked(stderr);
  funlockfile(stderr);
}

void txc_log_release_error_lock() {
  txc_log_state_t &st = txc_log_state();
  if (st.error_lock != 0) {
    mutex_destroy(st.error_lock);
    st.error_lock = 0;
  }
}

const char *txc_code_text(int32_t code, const txc_code_entry *table) {
  for (const txc_code_entry *row = table; row != nullptr && row->text != nullptr; ++row) {
    if (row->code == code) return row->text;
  }
  return "unknown code or multiple errors";
}

void txc_assert_fail(const char *module, int line, const char *expr, const char *function) {
  txc_log_message(TXC_LOG_ERROR, "ASSERTION in %s(%d): FATAL ERROR: failed %s", module, line, expr);
#if defined(__GLIBC__)
  char text[512];
  snprintf(text, sizeof text, "(%s)", expr);
  __assert_fail(text, module, static_cast<unsigned>(line), function);
#else
  fprintf(stderr, "Assertion failed: (%s), function %s, file %s, line %d.\n", expr, function,
          module, line);
  abort();
#endif
}
