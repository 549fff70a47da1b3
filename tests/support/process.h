// Runs a program as a child process with given standard input, capturing
// standard output, standard error and the exit status, within a time limit.
#ifndef TESTS_SUPPORT_PROCESS_H_
#define TESTS_SUPPORT_PROCESS_H_

#include <string>
#include <vector>

struct ProcessResult {
  std::string out;         // standard output
  std::string err;         // standard error
  int status = -1;         // exit status, or -1 when killed by a signal
  int signal = 0;          // the signal that ended it, if any
  bool timed_out = false;  // killed because it ran past the limit
  double seconds = 0;      // wall time
};

// argv[0] is the program path. stdin_data is written to the child's
// standard input, which is then closed. The child is killed after
// timeout_ms milliseconds.
ProcessResult run_process(const std::vector<std::string> &argv, const std::string &stdin_data = "",
                          int timeout_ms = 20000);

#endif  // TESTS_SUPPORT_PROCESS_H_
