// The daemon address list: primary first, backups after it, each entry with
// its parsed address and session timeout. A pid: specification is expanded
// here from the daemon's PID file, one entry per address line.
#define TXC_MODULE "txc_addrlist"

#include "txc_addrlist.h"

#include <strings.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "txc_alloc.h"
#include "txc_log.h"
#include "txlib/txc_conf.h"
#include "txlib/txlib.h"

namespace {

constexpr int kMaxSeconds = 14400;  // four hours
constexpr size_t kLineSize = 254;   // a longer line is read as several lines

// Closes the PID file on every path out of the reader.
struct FileGuard {
  FILE *fp;
  ~FileGuard() {
    if (fp != nullptr) fclose(fp);
  }
};

struct StrlistGuard {
  txc_strlist *list;
  ~StrlistGuard() { strlist_free(list); }
};

// Line reader of the PID file. A line of more than 253 characters comes
// back as several lines; a line end that merely spilled over from a line of
// exactly 253 characters is not a line of its own.
class PidLines {
 public:
  explicit PidLines(FILE *fp) : fp_(fp) {}

  bool next(char *buf) {
    for (;;) {
      if (fgets(buf, kLineSize, fp_) == nullptr) return false;
      size_t n = strlen(buf);
      bool spill = full_ && (strcmp(buf, "\n") == 0 || strcmp(buf, "\r\n") == 0);
      full_ = n == kLineSize - 1 && buf[n - 1] != '\n';
      if (!spill) return true;
    }
  }

 private:
  FILE *fp_;
  bool full_ = false;
};

// Reads the process ID the way "%d" does, without its undefined overflow.
bool parse_pid(const char *line, int *pid) {
  char *end = nullptr;
  errno = 0;
  long v = strtol(line, &end, 10);
  if (end == line) return false;
  if (v > INT32_MAX) v = INT32_MAX;
  if (v < INT32_MIN) v = INT32_MIN;
  *pid = static_cast<int>(v);
  return true;
}

// Turns one address line into a specification and lists it; 0 on failure
// (logged).
int add_pid_line(txc_strlist *specs, const char *line) {
  char work[kLineSize];
  snprintf(work, sizeof work, "%s", line);
  char *spec = nullptr;
  if (work[0] == '/') {
    strip_spaces(work);
    size_t size = strlen(work) + sizeof "local:";
    spec = static_cast<char *>(txc_malloc(size));
    if (spec == nullptr) {
      txc_log_message(TXC_LOG_ERROR, "txlib: no memory for address spec %s", work);
      return 0;
    }
    snprintf(spec, size, "local:%s", work);
  } else {
    char *colon = strrchr(work, ':');
    if (colon == nullptr) {
      txc_log_message(TXC_LOG_ERROR,
                      "txlib: read pidfile: cannot parse inet-address in %s from pidfile", line);
      return 0;
    }
    *colon = '\0';
    char *host = work;
    char *port = colon + 1;
    strip_spaces(host);
    strip_spaces(port);
    size_t size = strlen(host) + strlen(port) + sizeof "inet:@";
    spec = static_cast<char *>(txc_malloc(size));
    if (spec == nullptr) {
      txc_log_message(TXC_LOG_ERROR, "txlib: no memory for address spec %s", host);
      return 0;
    }
    int n = snprintf(spec, size, "inet:%s@%s", port, host);
    if (n < 0 || static_cast<size_t>(n) >= size) {
      txc_log_message(TXC_LOG_ERROR, "txlib: read pidfile: cannot format inet-address string");
      txc_free(spec);
      return 0;
    }
  }
  int ok = strlist_add(specs, spec);
  if (!ok)
    txc_log_message(TXC_LOG_ERROR, "txlib: cannot add %s address from pidfile to list", spec);
  txc_free(spec);
  return ok;
}

// Lists the addresses of a PID file; 0 on failure (logged).
int read_pidfile(txc_strlist *specs, const char *file) {
  FileGuard guard{fopen(file, "r")};
  if (guard.fp == nullptr) {
    txc_log_message(TXC_LOG_ERROR, "txlib: cannot open daemon pidfile %s", file);
    return 0;
  }
  PidLines lines(guard.fp);
  char line[kLineSize];
  if (!lines.next(line)) {
    txc_log_message(TXC_LOG_ERROR, "txlib: cannot read line %d from daemon pidfile %s", 1, file);
    return 0;
  }
  int pid = 0;
  if (!parse_pid(line, &pid)) {
    txc_log_message(TXC_LOG_ERROR, "txlib: cannot read PID from daemon pidfile %s", file);
    return 0;
  }
  txc_log_message(TXC_LOG_PROGRESS, "txlib: daemon pid = %d", pid);
  int addresses = 0;
  while (lines.next(line)) {
    if (!add_pid_line(specs, line)) return 0;
    ++addresses;
  }
  if (addresses == 0) {
    txc_log_message(TXC_LOG_ERROR, "txlib: cannot read line %d from daemon pidfile %s", 2, file);
    return 0;
  }
  return 1;
}

// Parses one specification into a new entry and appends it; 0 on failure.
int append_entry(txc_addrlist_t *list, const char *spec, txc_timeout_t timeout, int resolve) {
  auto *entry = static_cast<txc_addrentry_t *>(txc_calloc(1, sizeof(txc_addrentry_t)));
  if (entry == nullptr) {
    txc_log_message(TXC_LOG_ERROR, "%s(%d): txlib: no memory for address entry", TXC_MODULE,
                    __LINE__);
    return 0;
  }
  int type = TXC_IPC_TYPE_0;
  txc_ipc_addr_t *addr = create_ipc_addr(spec, resolve, &type);
  if (type == TXC_IPC_TYPE_0 || addr == nullptr) {
    if (addr != nullptr) delete_ipc_addr(addr);
    txc_free(entry);
    return 0;
  }
  entry->type = type;
  entry->addr = addr;
  entry->timeout = timeout;
  if (!mutex_lock(list->lock)) {
    txc_log_message(TXC_LOG_ERROR, "txlib: FATAL ERROR: cannot lock address list");
    delete_ipc_addr(addr);
    txc_free(entry);
    return 0;
  }
  entry->prev = list->last;
  entry->next = nullptr;
  if (list->last != nullptr) {
    list->last->next = entry;
  } else {
    list->first = entry;
  }
  list->last = entry;
  // Once linked, the entry belongs to the list even if the unlock fails.
  if (!mutex_unlock(list->lock)) {
    txc_log_message(TXC_LOG_ERROR, "txlib: FATAL ERROR: cannot unlock address list");
    return 0;
  }
  txc_log_message(TXC_LOG_DETAIL, "txlib: address %s added to list", spec);
  return 1;
}

}  // namespace

txc_addrlist_t *addrlist_create() {
  auto *list = static_cast<txc_addrlist_t *>(txc_calloc(1, sizeof(txc_addrlist_t)));
  if (list == nullptr) {
    txc_log_message(TXC_LOG_ERROR, "%s(%d): txlib: no memory for address list", TXC_MODULE,
                    __LINE__);
    return nullptr;
  }
  list->first = nullptr;
  list->last = nullptr;
  list->lock = mutex_create("Tavrix::AddressListLocker");
  if (list->lock == 0) {
    txc_free(list);
    return nullptr;
  }
  return list;
}

int addrlist_add(txc_addrlist_t *list, const char *spec, int seconds, int resolve) {
  if (list == nullptr || spec == nullptr) {
    txc_log_message(TXC_LOG_ERROR, "txlib: null args passed to addrlist_add routine");
    return 0;
  }
  if (seconds > kMaxSeconds) {
    txc_log_message(TXC_LOG_ERROR,
                    "txlib: invalid timeout %d specified (should be in 0 (infinite) .. 4 hours in "
                    "seconds)",
                    seconds);
    return 0;
  }
  txc_timeout_t timeout = seconds > 0 ? seconds * 1000 : TXC_TIMEOUT_INFINITE;
  StrlistGuard specs{strlist_create(0)};
  if (specs.list == nullptr) {
    txc_log_message(TXC_LOG_ERROR, "%s(%d): txlib: no memory for address specs", TXC_MODULE,
                    __LINE__);
    return 0;
  }
  txc_log_message(TXC_LOG_PROGRESS,
                  "txlib: set timeout for each scanning session with %s to %d milliseconds", spec,
                  timeout);
  if (strncasecmp(spec, "pid:", 4) != 0) {
    txc_log_message(TXC_LOG_DETAIL, "txlib: dont match to pid:");
    if (!strlist_add(specs.list, spec)) {
      txc_log_message(TXC_LOG_ERROR, "txlib: cannot add %s address to list", spec);
      return 0;
    }
  } else if (!read_pidfile(specs.list, strchr(spec, ':') + 1)) {
    return 0;
  }
  int added = 0;
  strlist_rewind(specs.list, TXC_STRLIST_FORWARD);
  for (const char *s = strlist_next(specs.list); s != nullptr; s = strlist_next(specs.list)) {
    if (!append_entry(list, s, timeout, resolve)) return 0;
    ++added;
  }
  return added > 0 ? 1 : 0;
}

txc_addrentry_t *addrlist_next(txc_addrlist_t *list, txc_addrentry_t *entry) {
  if (list == nullptr) return nullptr;
  if (!mutex_lock(list->lock)) {
    txc_log_message(TXC_LOG_ERROR, "txlib: FATAL ERROR: cannot lock address list");
    return nullptr;
  }
  txc_addrentry_t *result = entry != nullptr ? entry->next : list->first;
  if (!mutex_unlock(list->lock)) {
    txc_log_message(TXC_LOG_ERROR, "txlib: FATAL ERROR: cannot unlock address list");
    return nullptr;
  }
  return result;
}

void addrlist_destroy(txc_addrlist_t *list) {
  if (list == nullptr) return;
  if (!mutex_lock(list->lock)) {
    txc_log_message(TXC_LOG_ERROR, "txlib: FATAL ERROR: cannot lock address list");
    return;
  }
  while (list->first != nullptr) {
    txc_addrentry_t *entry = list->first;
    list->first = entry->next;
    if (list->first != nullptr) {
      list->first->prev = nullptr;
    } else {
      list->last = nullptr;
    }
    if (entry->addr != nullptr) delete_ipc_addr(entry->addr);
    txc_free(entry);
  }
  if (!mutex_unlock(list->lock)) {
    txc_log_message(TXC_LOG_ERROR, "txlib: FATAL ERROR: cannot unlock address list");
    return;
  }
  mutex_destroy(list->lock);
  txc_free(list);
}

int addrlist_entry_type(const txc_addrentry_t *entry) {
  return entry != nullptr ? entry->type : TXC_IPC_TYPE_0;
}

txc_ipc_addr_t *addrlist_entry_addr(const txc_addrentry_t *entry) {
  return entry != nullptr ? entry->addr : nullptr;
}

txc_timeout_t addrlist_entry_timeout(const txc_addrentry_t *entry) {
  return entry != nullptr ? entry->timeout : 0;
}
