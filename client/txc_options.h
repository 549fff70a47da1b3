// Command line of tavrixdc: the run settings record and its parser.
#ifndef CLIENT_TXC_OPTIONS_H_
#define CLIENT_TXC_OPTIONS_H_

#include <cstdint>
#include <cstdio>

// Every text field holds at most this many characters plus the terminator.
inline constexpr int kTextFieldSize = 1025;

struct run_settings {
  char file_name[kTextFieldSize];
  char daemon_host[kTextFieldSize];
  char socket_path[kTextFieldSize];
  char pid_file[kTextFieldSize];
  char address_spec[kTextFieldSize];
  uint32_t scan_flags;
  int32_t report_limit;
  int32_t daemon_port;
  int32_t timeout;
  int show_id;
  int show_version;
  int show_bases;
  int scan_requested;
  int quiet;
  int debug;
  int partial_scan;
  int local_scan;
  int32_t part_offset;
  int32_t part_length;
};

// Fills *settings (cleared first) from the command line. Returns 0 when the
// usage text must be printed and the program must stop with 128: on the first
// option error (its message already written to `out`) or when there are no
// arguments at all. Any other value means run. getopt's own diagnostics go to
// standard error.
int parse_options(int argc, char *argv[], run_settings *settings, FILE *out = stdout);

// Writes the usage text and a newline to `out`; returns the usage exit status.
int print_usage(FILE *out = stdout);

// Copies src into a text field, cutting it to the field's capacity.
void copy_field(char (&field)[kTextFieldSize], const char *src);

#endif  // CLIENT_TXC_OPTIONS_H_
