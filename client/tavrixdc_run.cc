#include "tavrixdc_run.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "txc_input.h"
#include "txc_run_rules.h"
#include "txlib/txlib.h"

namespace {

constexpr char kClientVersion[] = "4.29.12f";
constexpr int kLevelError = 2;
constexpr int kLevelResult = 4;
constexpr int kLevelProgress = 5;

void run_queries(const run_settings &s, int *code) {
  if (s.show_version) {
    int major = 0, minor = 0;
    *code = txc_daemon_version(&major, &minor);
    if (*code == 0) {
      printf("- Version: Tavrix Daemon %d.%d\n", major, minor);
      printf("-          Command line client %s\n", kClientVersion);
    }
  }
  if (s.show_id) {
    char *id = nullptr;
    *code = txc_daemon_id(&id);
    if (*code == 0) {
      printf("- Description: %s\n", id != nullptr ? id : "");
      free(id);
    }
  }
  if (s.show_bases) {
    char *bases = nullptr;
    int total = 0;
    *code = txc_daemon_bases(&bases, &total);
    if (*code == 0) {
      printf("- Loaded bases:\n%s\nTotal %d virus-finding recoreds.\n",
             bases != nullptr ? bases : "", total);
      free(bases);
    }
  }
}

// Replaces file_name by its absolute form; false (logged) when that fails
// or when the absolute form does not fit the field.
bool expand_file_name(run_settings *s) {
  char resolved[PATH_MAX];
  if (realpath(s->file_name, resolved) == nullptr || strlen(resolved) >= sizeof s->file_name) {
    txc_log_message(kLevelError, "Can not expand %s.", s->file_name);
    return false;
  }
  txc_log_message(kLevelProgress, "Filename %s expanded to %s", s->file_name, resolved);
  copy_field(s->file_name, resolved);
  return true;
}

// Reads all of standard input and scans it. The buffer is released here.
int scan_stdin(const run_settings &s, txc_scanresult **result) {
  char *data = nullptr;
  size_t length = 0;
  int error = 0;
  // The request carries the size as an int.
  switch (read_all_input(0, INT_MAX, &data, &length, &error)) {
    case input_status::ok:
      break;
    case input_status::no_memory:
      txc_log_message(kLevelError, "No memory for file reading from stdin");
      return TXC_ERR_NOMEM;
    case input_status::too_large:
      txc_log_message(kLevelError, "Data on stdin is too large to scan (more than %d bytes)",
                      INT_MAX);
      return TXC_ERR_NOMEM;
    case input_status::read_error:
      // Scanning what arrived before the failure could pass a part of the
      // object as clean.
      txc_log_message(kLevelError, "Can not read data from stdin - %s", strerror(error));
      return TXC_ERR_BADFILE;
  }
  int code = txc_scan_buffer(data, static_cast<int>(length), static_cast<int>(s.scan_flags), result,
                             s.report_limit);
  free(data);
  return code;
}

int run_scan(run_settings *s, txc_scanresult **result) {
  if (s->file_name[0] == '\0') return scan_stdin(*s, result);
  if ((s->local_scan || s->partial_scan) && !expand_file_name(s)) return TXC_ERR_NOMEM;
  const int flags = static_cast<int>(s->scan_flags);
  const int name_len = static_cast<int>(strlen(s->file_name));
  if (s->local_scan)
    return txc_scan_file(s->file_name, name_len, 1, flags, result, s->report_limit);
  if (s->partial_scan)
    return txc_scan_file_part(s->file_name, name_len, s->part_offset, s->part_length, flags, result,
                              s->report_limit);
  return txc_scan_file(s->file_name, name_len, 0, flags, result, s->report_limit);
}

// False when a block could not be printed whole (no memory for the
// statistics text): the printout then understates what the daemon found.
bool print_result(uint32_t flags, txc_scanresult *result) {
  if (flags & TXC_RETURN_REPORT) {
    printf("\n----- Tavrix report begin -----\n%s\n----- Tavrix report end -----\n",
           txc_scanresult_report(result));
  }
  if (flags & TXC_RETURN_VIRUSES) {
    txc_strlist *viruses = txc_scanresult_viruses(result);
    if (viruses != nullptr) {
      fputs("\n----- Tavrix found viruses list begin -----", stdout);
      strlist_rewind(viruses, TXC_STRLIST_FORWARD);
      for (const char *name = strlist_next(viruses); name != nullptr; name = strlist_next(viruses))
        printf("\n%s", name);
      fputs("\n----- Tavrix found viruses list end -----\n", stdout);
    }
  }
  bool whole = true;
  if (flags & TXC_RETURN_CODES) {
    char *text = txc_scanstat_text(txc_scanresult_stat(result));
    printf("\n----- Tavrix statistic begin -----\n%s\n----- Tavrix statistic end -----\n",
           text != nullptr ? text : "");
    if (text == nullptr) {
      txc_log_message(kLevelError, "No memory for the statistics text");
      whole = false;
    }
    free(text);
  }
  return whole;
}

}  // namespace

int run_client(run_settings *settings) {
  run_settings &s = *settings;
  txc_log_open("console", s.quiet ? 0 : (s.debug ? 9 : 4), 0, 0);

  if (!build_address_spec(&s)) {
    txc_log_message(kLevelError, "Can not create address string.");
    return kExitClient;
  }
  if (txc_startup(TXC_LIB_VERSION, s.address_spec, s.timeout, 0) != 0) {
    txc_log_message(kLevelError, "Can not initialize library with address <%s>.", s.address_spec);
    return kExitClient;
  }

  int code = 0;
  txc_scanresult *result = nullptr;
  run_queries(s, &code);
  if (s.scan_requested) code = run_scan(&s, &result);
  txc_cleanup();

  int status;
  if (!s.scan_requested || code != 0 || result == nullptr) {
    // A successful call that hands back no result would be a library fault;
    // it must not pass for a clean scan.
    if (s.scan_requested && code == 0) code = TXC_ERR_GENERAL;
    txc_log_message(kLevelResult, "Results: txclient error %d (%s)", code, txc_lib_strerror(code));
    status = kExitClient;
  } else {
    uint32_t word = txc_scanresult_status(result);
    txc_log_message(kLevelResult, "Results: daemon return code %#x (%s)", word,
                    txc_status_strerror(word));
    bool whole = print_result(s.scan_flags, result);
    status = exit_bits_for_status(word);
    // An empty statistics block would read as "nothing found": keep the
    // daemon's bits and add the client-error bit.
    if (!whole) status |= kExitClient;
  }

  txc_log_message(kLevelProgress, "Final code %#x.", status);
  txc_scanresult_free(result);
  return status;
}

int tavrixdc_main(int argc, char *argv[]) {
  // Static and zeroed, as the run reads nothing but these settings.
  static run_settings settings;
  int status = parse_options(argc, argv, &settings) == 0 ? print_usage() : run_client(&settings);
  // A clean result whose printout was lost must not look like success.
  if (fflush(stdout) != 0 || ferror(stdout)) {
    txc_log_message(kLevelError, "Can not write to stdout - %s", strerror(errno));
    if (status == 0) status = kExitClient;
  }
  return status;
}
