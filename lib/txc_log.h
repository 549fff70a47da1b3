// Internal logging, contract checks, named locks, system-error texts and
// code tables. The public half (txc_log_open, txc_log_message) is declared
// in txlib/txlib.h.
#ifndef TXLIB_TXC_LOG_H_
#define TXLIB_TXC_LOG_H_

#include <cstdarg>
#include <cstdint>

#include "txlib/txlib.h"

// Levels: smaller is more important.
enum {
  TXC_LOG_ERROR = 2,
  TXC_LOG_WARNING = 3,
  TXC_LOG_RESULT = 4,
  TXC_LOG_PROGRESS = 5,
  TXC_LOG_DETAIL = 9,
};

// The writer behind txc_log_message: level filter, then system log or
// standard error (text and one newline, flushed).
void txc_log_write(int level, const char *format, va_list args);

// Tests route formatted messages (after the level filter) to a hook instead
// of the real target; nullptr restores the real target.
typedef void (*txc_log_hook_fn)(int level, const char *text, void *ctx);
void txc_log_set_hook(txc_log_hook_fn hook, void *ctx);

// Destroys the "Tavrix::StdlibError" lock, if any, and forgets its handle
// (library clean-up); the next txc_log_open makes it again.
void txc_log_release_error_lock();

// Code tables: rows of (code, text) ended by a row with a NULL text.
struct txc_code_entry {
  int32_t code;
  const char *text;
};
const char *txc_code_text(int32_t code, const txc_code_entry *table);

// Named locks. Handles are opaque; 0 is never valid. They do no locking:
// the client is single-threaded, and callers only rely on the results.
typedef uintptr_t txc_mutex_t;
txc_mutex_t mutex_create(const char *name);
int mutex_lock(txc_mutex_t handle);     // nonzero on success
int mutex_unlock(txc_mutex_t handle);   // nonzero on success
int mutex_destroy(txc_mutex_t handle);  // 0 on success

// Text of a system error number; constant, not to be freed.
const char *stdlib_error(int errnum);

// Contract checks. Each source file defines TXC_MODULE (its module name,
// e.g. "txc_lib") before using these. A failed check logs
// "ASSERTION in <module>(<line>): FATAL ERROR: failed <expr>" at level 2 and
// then ends the process through the standard assertion failure, whatever
// NDEBUG says.
[[noreturn]] void txc_assert_fail(const char *module, int line, const char *expr,
                                  const char *function);
#define TXC_ASSERT_TEXT(cond, text)                                     \
  do {                                                                  \
    if (!(cond)) txc_assert_fail(TXC_MODULE, __LINE__, text, __func__); \
  } while (0)
#define TXC_ASSERT(cond) TXC_ASSERT_TEXT(cond, #cond)

#endif  // TXLIB_TXC_LOG_H_
