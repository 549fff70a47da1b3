#include "txc_options.h"

#include <unistd.h>

#include <climits>
#include <cstring>

#include "txlib/txlib.h"

namespace {

constexpr char kUsage[] =
    "\n"
    "Usage: tavrixdc [options]\n"
    "Command line client (v.4.29.12f) to Tavrix daemon\n"
    "\n"
    " -fFILE_NAME      file to scan\n"
    " -i               read data from stdin\n"
    " -dPIDFILE_NAME   Tavrix daemon PID-file (/var/run/tavrixd.pid is default)\n"
    " -uSOCKET_FILE    Tavrix daemon UNIX-socket file\n"
    " -cFILE_NAME      name of file for partial scanning (offset and length must be defined)\n"
    " -oOFFSET         offset in file for partial scanning\n"
    " -lLENGTH         length of file for partial scanning\n"
    " -nINETADDRESS    Tavrix daemon Internet address (IP or domain name)\n"
    " -pPORT           Tavrix daemon TCP port\n"
    " -tTIMEOUT        timeout (milliseconds) for communcation operations\n"
    " -h               use heuristic analyser\n"
    " -m               use FilterRules from tavrix32.ini\n"
    " -x               scan object as local file\n"
    " -sb              show virus bases info\n"
    " -si              show daemon id string\n"
    " -sv              show daemon version\n"
    " -rv              return virus names\n"
    " -rc              return extended codes\n"
    " -rr              return report lines\n"
    " -rsSIZE          size of report (in bytes)\n"
    " -q               quiet mode\n"
    " -w               debug mode\n"
    " -e               file in e-mail format\n"
    " -k               cure mail (works only with -e and -x options)\n"
    "\n"
    "  Return values:\n"
    "  0 - ok\n"
    "  If return code is not zero, then\n"
    "  Bit\n"
    "  0 - virus found (known, unknown, modification)\n"
    "  1 - skipped object (symlink, no regfile, skipped)\n"
    "  2 - object skipped by archive restrictions\n"
    "      (exceed level of archive recursion, too big compression ratio, extracted file is too "
    "big)\n"
    "  3 - daemon errors (socket & file i/o errors, timeouts, no memory)\n"
    "  4 - client errors (no memory, no daemon)\n"
    "  6 - object rejected by daemons RE-filter\n"
    "  7 - usage";

// glibc's getopt would otherwise move options found after the first operand
// forward; option scanning must stop at the first word that is not an option.
#ifdef __GLIBC__
constexpr char kOptString[] = "+xmekihqws:r:t:n:p:d:u:c:o:l:f:";
#else
constexpr char kOptString[] = "xmekihqws:r:t:n:p:d:u:c:o:l:f:";
#endif

constexpr char kConflict[] = "\nYou cannot use -f and -i option together.";
constexpr char kPartial[] = "\nFor scan only part file you SHOULD define -c -o -l options.";

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Value of the leading run of decimal digits, at most INT_MAX. False when
// the text does not begin with a digit.
bool parse_count(const char *text, int32_t *value) {
  if (!is_digit(text[0])) return false;
  int64_t v = 0;
  for (const char *p = text; is_digit(*p); ++p) {
    v = v * 10 + (*p - '0');
    if (v > INT32_MAX) v = INT32_MAX;  // keep saturated, and v * 10 in range
  }
  *value = static_cast<int32_t>(v);
  return true;
}

// Like atoi, but a run of digits that does not fit saturates instead of
// overflowing: optional white space, optional sign, digits; no digits is 0.
int32_t parse_signed(const char *text) {
  const char *p = text;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  const int64_t bound = negative ? -static_cast<int64_t>(INT32_MIN) : INT32_MAX;
  int64_t v = 0;
  for (; is_digit(*p); ++p) {
    v = v * 10 + (*p - '0');
    if (v > bound) v = bound;
  }
  return static_cast<int32_t>(negative ? -v : v);
}

int fail(FILE *out, const char *message) {
  fputs(message, out);
  return 0;
}

}  // namespace

void copy_field(char (&field)[kTextFieldSize], const char *src) {
  size_t n = strnlen(src, kTextFieldSize - 1);
  memcpy(field, src, n);
  field[n] = '\0';
}

int print_usage(FILE *out) {
  fputs(kUsage, out);
  fputc('\n', out);
  fflush(out);
  return 128;
}

int parse_options(int argc, char *argv[], run_settings *settings, FILE *out) {
  run_settings &s = *settings;
  s = run_settings{};
  if (argc <= 1) return 0;

  bool seen_c = false, seen_o = false, seen_l = false;
  int opt;
  while ((opt = getopt(argc, argv, kOptString)) != -1) {
    switch (opt) {
      case 'x':
        s.local_scan = 1;
        break;
      case 'm':
        s.scan_flags |= TXC_FILTER_RULES;
        break;
      case 'e':
        s.scan_flags |= TXC_MAIL_FORMAT;
        break;
      case 'k':
        s.scan_flags |= TXC_CURE_MAIL;
        break;
      case 'i':
        if (s.scan_requested) return fail(out, kConflict);
        s.scan_requested = 1;
        break;
      case 'h':
        s.scan_flags |= TXC_HEURISTIC;
        break;
      case 'q':
        s.quiet = 1;
        break;
      case 'w':
        s.debug = 1;
        break;
      case 's':
        switch (optarg[0]) {
          case 'b':
            s.show_bases = 1;
            break;
          case 'i':
            s.show_id = 1;
            break;
          case 'v':
            s.show_version = 1;
            break;
          default:
            return fail(out, "\nInvalid option show (-s?)");
        }
        break;
      case 'r':
        switch (optarg[0]) {
          case 'v':
            s.scan_flags |= TXC_RETURN_VIRUSES;
            break;
          case 'c':
            s.scan_flags |= TXC_RETURN_CODES;
            break;
          case 'r':
            s.scan_flags |= TXC_RETURN_REPORT;
            break;
          case 's':
            s.report_limit = parse_signed(optarg + 1);
            break;
          default:
            return fail(out, "\nInvalid option return (-r?)");
        }
        break;
      case 't':
        if (!parse_count(optarg, &s.timeout))
          return fail(out, "\nError reading timeout argument (-t timeout).");
        break;
      case 'n':
        copy_field(s.daemon_host, optarg);
        break;
      case 'p':
        if (!parse_count(optarg, &s.daemon_port))
          return fail(out, "\nError reading port argument (-p option).");
        break;
      case 'd':
        copy_field(s.pid_file, optarg);
        break;
      case 'u':
        copy_field(s.socket_path, optarg);
        break;
      case 'c':
        // A range scan replaces any source chosen before it.
        copy_field(s.file_name, optarg);
        s.scan_requested = 1;
        s.partial_scan = 1;
        seen_c = true;
        break;
      case 'o':
        if (!parse_count(optarg, &s.part_offset))
          return fail(out, "\nError reading offset argument (-o option).");
        seen_o = true;
        break;
      case 'l':
        if (!parse_count(optarg, &s.part_length))
          return fail(out, "\nError reading length argument (-l option).");
        seen_l = true;
        break;
      case 'f':
        if (s.scan_requested) return fail(out, kConflict);
        copy_field(s.file_name, optarg);
        s.scan_requested = 1;
        break;
      default:  // unknown letter or missing argument: getopt has said so
        return 0;
    }
  }
  if (s.partial_scan && !(seen_c && seen_o && seen_l)) return fail(out, kPartial);
  return 1;
}
