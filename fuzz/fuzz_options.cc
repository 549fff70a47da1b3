// The command line of tavrixdc: arguments are the input split at NUL bytes.
#include <getopt.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "txc_options.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::vector<std::string> args{"tavrixdc"};
  std::string cur;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == '\0') {
      args.push_back(cur);
      cur.clear();
    } else {
      cur += static_cast<char>(data[i]);
    }
  }
  if (!cur.empty()) args.push_back(cur);
  if (args.size() > 64) args.resize(64);
  std::vector<char *> argv;
  for (std::string &a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  static FILE *sink = std::fopen("/dev/null", "w");
  static run_settings settings;
  optind = 0;  // a full restart of getopt for every run
  opterr = 0;
  int run = parse_options(static_cast<int>(args.size()), argv.data(), &settings, sink);
  if (run != 0) {
    // Every text field stays terminated within its capacity.
    for (const char *f : {settings.file_name, settings.daemon_host, settings.socket_path,
                          settings.pid_file, settings.address_spec}) {
      if (strnlen(f, kTextFieldSize) >= static_cast<size_t>(kTextFieldSize)) __builtin_trap();
    }
  }
  return 0;
}
