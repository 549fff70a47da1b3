// Library lifecycle (start-up, extra addresses, clean-up) and the three
// information queries: daemon version, identification text, virus bases.
#define TXC_MODULE "txc_lib"

#include <climits>
#include <cstdio>

#include "ipc/txc_ipc.h"
#include "txc_addrlist.h"
#include "txc_alloc.h"
#include "txc_lib_internal.h"
#include "txc_log.h"

namespace {

// Process-wide state: callers must not overlap start-up or clean-up with
// any other call, so it is not locked.
int g_started = 0;
txc_addrlist_t *g_addrlist = nullptr;

struct StrlistGuard {
  txc_strlist *list;
  ~StrlistGuard() { strlist_free(list); }
};

// Closes the session on a failure path and reports the transfer failure.
int fail_session(txc_ipc_t *ipc) {
  closeSession(ipc);
  return TXC_ERR_TRANSPORT;
}

bool started_or_log() {
  if (g_started) return true;
  txc_log_message(TXC_LOG_ERROR, "txlib: library is not initialized");
  return false;
}

int32_t saturating_add(int32_t a, int32_t b) {
  int64_t sum = static_cast<int64_t>(a) + b;
  if (sum > INT32_MAX) return INT32_MAX;
  if (sum < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(sum);
}

}  // namespace

txc_addrlist_t *txc_lib_addrlist() { return g_addrlist; }

int txc_lib_started() { return g_started; }

int txc_startup(int version, const char *spec, int timeout_seconds, int resolve) {
  int major = (version >> 8) & 0xff;
  int minor = version & 0xff;
  if (major != TXC_LIB_MAJOR) {
    txc_log_message(TXC_LOG_ERROR,
                    "txlib: startup: library major version (%d) and requested (%d) is different",
                    TXC_LIB_MAJOR, major);
    return TXC_ERR_PARAM;
  }
  if (minor != TXC_LIB_MINOR) {
    txc_log_message(TXC_LOG_WARNING,
                    "txlib: startup: library minor version (%d) and requested (%d) is different",
                    TXC_LIB_MINOR, minor);
  }
  if (g_started) {
    txc_log_message(TXC_LOG_ERROR, "txlib: startup: library already initialized");
    return TXC_ERR_ONCE;
  }
  if (spec == nullptr) {
    txc_log_message(TXC_LOG_ERROR, "txlib: startup: daemon address not specified");
    return TXC_ERR_PARAM;
  }
  if (init_ipc_system() != TXC_IPC_OK) {
    txc_log_message(TXC_LOG_PROGRESS, "txlib: startup: cannot initialize internal IPC system");
    return TXC_ERR_TRANSPORT;
  }
  txc_addrlist_t *list = addrlist_create();
  if (list == nullptr) {
    txc_log_message(TXC_LOG_PROGRESS, "txlib: startup: cannot initialize internal IPC system");
    deinit_ipc_system();
    return TXC_ERR_TIMEOUT;
  }
  if (!addrlist_add(list, spec, timeout_seconds, resolve)) {
    txc_log_message(TXC_LOG_PROGRESS, "txlib: startup: cannot create IPC with specification <%s>",
                    spec);
    addrlist_destroy(list);
    deinit_ipc_system();
    return TXC_ERR_TRANSPORT;
  }
  g_addrlist = list;
  g_started = 1;
  return TXC_OK;
}

int txc_add_address(const char *spec, int timeout_seconds, int resolve) {
  return addrlist_add(g_addrlist, spec, timeout_seconds, resolve) ? TXC_OK : TXC_ERR_TIMEOUT;
}

int txc_cleanup(void) {
  if (!g_started) {
    txc_log_message(TXC_LOG_ERROR, "txlib: cleanup: library has not been initialized");
    return TXC_ERR_ONCE;
  }
  addrlist_destroy(g_addrlist);
  g_addrlist = nullptr;
  if (deinit_ipc_system() != TXC_IPC_OK) {
    txc_log_message(TXC_LOG_PROGRESS,
                    "txlib: cleanup: deinitialization of internal IPC system failed");
    g_started = 0;
    return TXC_ERR_TRANSPORT;
  }
  txc_log_release_error_lock();
  g_started = 0;
  return TXC_OK;
}

int txc_daemon_version(int *major, int *minor) {
  if (!started_or_log()) return TXC_ERR_NOTINIT;
  if (major == nullptr || minor == nullptr) {
    txc_log_message(TXC_LOG_ERROR, "txlib: null major or minor version storage passed");
    return TXC_ERR_PARAM;
  }
  txc_ipc_t *ipc = openSession(0);
  if (ipc == nullptr) return TXC_ERR_TRANSPORT;
  int32_t v = 0;
  if (writeInt(ipc, TXC_CMD_VERSION) != TXC_OK || readInt(ipc, &v) != TXC_OK) {
    return fail_session(ipc);
  }
  *major = v / 100;
  *minor = v - *major * 100;
  return closeSession(ipc);
}

int txc_daemon_id(char **id) {
  if (!started_or_log()) return TXC_ERR_NOTINIT;
  if (id == nullptr) {
    txc_log_message(TXC_LOG_ERROR, "txlib: null storage for ID string passed");
    return TXC_ERR_PARAM;
  }
  *id = nullptr;
  txc_ipc_t *ipc = openSession(0);
  if (ipc == nullptr) return TXC_ERR_TRANSPORT;
  char *text = nullptr;
  // Want of memory for the text fails like any other failure to get it.
  if (writeInt(ipc, TXC_CMD_IDSTRING) != TXC_OK || !readString(ipc, &text, 0)) {
    return fail_session(ipc);
  }
  *id = text;
  return closeSession(ipc);
}

int txc_daemon_bases(char **bases, int *total) {
  if (!started_or_log()) return TXC_ERR_NOTINIT;
  if (bases == nullptr || total == nullptr) {
    txc_log_message(TXC_LOG_ERROR, "txlib: null storage for list of bases passed");
    return TXC_ERR_PARAM;
  }
  *total = 0;
  *bases = nullptr;
  StrlistGuard lines{strlist_create(0)};
  if (lines.list == nullptr) return TXC_ERR_NOMEM;
  txc_ipc_t *ipc = openSession(0);
  if (ipc == nullptr) return TXC_ERR_TRANSPORT;
  int32_t count = 0;
  if (writeInt(ipc, TXC_CMD_BASES) != TXC_OK || readInt(ipc, &count) != TXC_OK) {
    return fail_session(ipc);
  }
  // The count is the daemon's word only: every base read needs its bytes
  // to arrive, so a hostile count ends when the daemon stops sending.
  for (int32_t i = 0; i < count; ++i) {
    char *name = nullptr;
    if (!readString(ipc, &name, 0)) return fail_session(ipc);
    int32_t records = 0;
    if (readInt(ipc, &records) != TXC_OK) {
      txc_free(name);
      return fail_session(ipc);
    }
    char number[16];
    snprintf(number, sizeof number, "%d", records);
    // A line that cannot be stored would silently go missing from the
    // text: fail instead of returning an incomplete list.
    bool ok = strlist_add(lines.list, "Base ") && strlist_add(lines.list, name) &&
              strlist_add(lines.list, " contain ") && strlist_add(lines.list, number) &&
              strlist_add(lines.list, " records.\n");
    txc_free(name);
    if (!ok) {
      txc_log_message(TXC_LOG_ERROR, "txlib: %s(%d): cannot allocate memory", TXC_MODULE, __LINE__);
      return fail_session(ipc);
    }
    *total = saturating_add(*total, records);
  }
  char *text = strlist_join(lines.list, TXC_STRLIST_FORWARD);
  if (text == nullptr) {
    txc_log_message(TXC_LOG_ERROR, "txlib: %s(%d): cannot allocate memory", TXC_MODULE, __LINE__);
    return fail_session(ipc);
  }
  *bases = text;
  return closeSession(ipc);
}
