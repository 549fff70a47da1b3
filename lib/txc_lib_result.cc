// The scan result object, its statistics, and the texts of the two code
// vocabularies (daemon status word, library error code).
#define TXC_MODULE "txc_lib"

#include <cstdint>
#include <cstdio>

#include "txc_alloc.h"
#include "txc_lib_internal.h"
#include "txc_log.h"
#include "txlib/txlib.h"

namespace {

constexpr txc_code_entry kStatusTable[] = {
    {0x0, "ok"},
    {0x1, "read error"},
    {0x2, "write error"},
    {0x4, "no memory for operation"},
    {0x8, "CRC error (archive with wrong CRC)"},
    {0x10, "socket error"},
    {0x20, "known virus is found"},
    {0x40, "possible unknown virus is found"},
    {0x80, "virus modification is found"},
    {0x100, "object is cured"},
    {0x200, "operation timed out"},
    {0x400, "symlink is found"},
    {0x800, "no regular file is found"},
    {0x1000, "skipped object"},
    {0x2000, "too big file after extraction"},
    {0x4000, "too high compression ratio"},
    {0x8000, "invalid call"},
    {0x20000, "rejected by rule filter"},
    {-1, nullptr},
};

constexpr txc_code_entry kLibErrorTable[] = {
    {0, "no errors"},
    {-1, "general fault"},
    {-2, "internal transport subsystem"},
    {-3, "bad file passed to lib"},
    {-4, "incorrect values of parameters"},
    {-5, "not supported"},
    {-6, "try make operation that can be performed only once"},
    {-7, "recv from daemon"},
    {-8, "send to daemon"},
    {-9, "no memory for internal use"},
    {-10, "library is not initialized"},
    {-11, "timeout"},
    // Shadowed by "timeout": the lookup stops at the first match, so this
    // text is never returned. Kept so the table reads as it always has.
    {-11, "no resources for internal use"},
    {-1, nullptr},
};

// Which counter a statistics pair goes to: the first row whose mask shares a
// bit with the pair's flags.
struct stat_class {
  uint32_t mask;
  int32_t txc_scanstat::*counter;
};

constexpr stat_class kStatClasses[] = {
    {0xa0, &txc_scanstat::infected},
    {0x40, &txc_scanstat::suspicious},
    {0x1e08, &txc_scanstat::skipped},
    {0x46000, &txc_scanstat::archive_restricted},
    {0x20000, &txc_scanstat::filter_rejected},
    {0x8017, &txc_scanstat::scan_errors},
    {0x100, &txc_scanstat::cured},
};

// Lines of the statistics text, in the order of the record.
struct stat_line {
  const char *format;
  int32_t txc_scanstat::*counter;
};

constexpr stat_line kStatLines[] = {
    {"Infected : %d\n", &txc_scanstat::infected},
    {"Suspicious : %d\n", &txc_scanstat::suspicious},
    {"Cured : %d\n", &txc_scanstat::cured},
    {"FilterRule Reject : %d\n", &txc_scanstat::filter_rejected},
    {"Skipped object : %d\n", &txc_scanstat::skipped},
    {"Archive restriction : %d\n", &txc_scanstat::archive_restricted},
    {"Scanning error : %d\n", &txc_scanstat::scan_errors},
};

// Frees a string list when it goes out of scope.
struct strlist_guard {
  txc_strlist *list;
  ~strlist_guard() { strlist_free(list); }
};

}  // namespace

void txc_scanstat_add(txc_scanstat *stat, uint32_t code, int32_t count) {
  if (stat == nullptr) return;
  for (const stat_class &row : kStatClasses) {
    if ((row.mask & code) == 0) continue;
    // The counts come from the daemon and are not to be trusted: the sum
    // saturates at INT32_MAX / INT32_MIN rather than overflowing.
    int64_t sum = static_cast<int64_t>(stat->*row.counter) + count;
    if (sum > INT32_MAX) sum = INT32_MAX;
    if (sum < INT32_MIN) sum = INT32_MIN;
    stat->*row.counter = static_cast<int32_t>(sum);
    return;
  }
}

txc_scanresult *txc_scanresult_create(void) {
  auto *result = static_cast<txc_scanresult *>(txc_calloc(1, sizeof(txc_scanresult)));
  if (result == nullptr) {
    txc_log_message(TXC_LOG_ERROR, "txlib: %s(%d): no memory for results", TXC_MODULE, __LINE__);
    return nullptr;
  }
  return result;
}

int txc_scanresult_free(txc_scanresult *result) {
  if (result == nullptr) return 0;
  strlist_free(result->viruses);
  txc_free(result->quarantine);
  txc_free(result->report);
  txc_free(result);
  return 0;
}

uint32_t txc_scanresult_status(const txc_scanresult *result) {
  if (result == nullptr) {
    txc_log_message(TXC_LOG_PROGRESS, "txlib: try to get status from NULL pointer");
    return TXC_STATUS_INVALID_CALL;
  }
  return result->status;
}

int txc_scanresult_set_status(txc_scanresult *result, uint32_t status) {
  if (result == nullptr) return 0;
  result->status = status;
  return 1;
}

const char *txc_scanresult_report(const txc_scanresult *result) {
  if (result == nullptr) {
    txc_log_message(TXC_LOG_ERROR, "txlib: try to get report from NULL pointer");
    return "FATAL ERROR: null pointer passed";
  }
  if (result->report == nullptr) {
    txc_log_message(TXC_LOG_ERROR, "txlib: report was not requested but you try to get it");
    return "Tavrix Daemon report was not requested in this configuration.";
  }
  return result->report;
}

int txc_scanresult_set_report(txc_scanresult *result, const char *text) {
  if (result == nullptr) return 0;
  char *copy = nullptr;
  if (text != nullptr) {
    // Copy first, so a failed copy keeps the old report.
    copy = txc_strdup(text);
    if (copy == nullptr) return 0;
  }
  txc_free(result->report);
  result->report = copy;
  return 1;
}

txc_strlist *txc_scanresult_viruses(const txc_scanresult *result) {
  if (result == nullptr) {
    txc_log_message(TXC_LOG_ERROR, "txlib: try to get viruslist from NULL pointer");
    return nullptr;
  }
  return result->viruses;
}

const char *txc_scanresult_quarantine(const txc_scanresult *result) {
  if (result == nullptr) {
    txc_log_message(TXC_LOG_ERROR, "txlib: try to get quarantine name from NULL pointer");
    return nullptr;
  }
  if (result->quarantine == nullptr) {
    txc_log_message(TXC_LOG_DETAIL, "txlib: quarantine name was not set but you try to get it");
    return nullptr;
  }
  return result->quarantine;
}

int txc_scanresult_set_quarantine(txc_scanresult *result, const char *name) {
  if (result == nullptr) return 0;
  if (name == nullptr) return 1;
  if (result->quarantine != nullptr) {
    txc_log_message(TXC_LOG_DETAIL, "txlib: try to reset quarantine name in scanresult");
    txc_free(result->quarantine);
    result->quarantine = nullptr;
  }
  result->quarantine = txc_strdup(name);
  if (result->quarantine == nullptr) {
    txc_log_message(TXC_LOG_ERROR, "txlib: no memory for filename (quarantine)");
    return 0;
  }
  return 1;
}

txc_scanstat *txc_scanresult_stat(txc_scanresult *result) {
  if (result == nullptr) {
    txc_log_message(TXC_LOG_ERROR, "txlib: try to get stat from NULL pointer");
    return nullptr;
  }
  return &result->stat;
}

char *txc_scanstat_text(const txc_scanstat *stat) {
  if (stat == nullptr) return nullptr;
  strlist_guard lines{strlist_create(0)};
  if (lines.list == nullptr) return nullptr;
  for (const stat_line &line : kStatLines) {
    const int32_t value = stat->*line.counter;
    if (value == 0) continue;
    // The longest line with the longest number fits with room to spare.
    char text[64];
    const int n = snprintf(text, sizeof text, line.format, static_cast<int>(value));
    if (n < 0 || static_cast<size_t>(n) >= sizeof text) return nullptr;
    if (!strlist_add(lines.list, text)) return nullptr;
  }
  return strlist_join(lines.list, TXC_STRLIST_FORWARD);
}

const char *txc_lib_strerror(int code) {
  return txc_code_text(static_cast<int32_t>(code), kLibErrorTable);
}

const char *txc_status_strerror(uint32_t status) {
  return txc_code_text(static_cast<int32_t>(status), kStatusTable);
}
