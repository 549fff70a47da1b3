// Shared by the fuzz targets: a quiet log that still formats every message
// (so format arguments built from the input are exercised), and a scratch
// file per process for inputs that must be read from a file.
#ifndef FUZZ_FUZZ_COMMON_H_
#define FUZZ_FUZZ_COMMON_H_

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "txc_log.h"
#include "txlib/txlib.h"

inline void fuzz_quiet_log() {
  txc_log_open("console", 9, 0, 0);
  txc_log_set_hook([](int, const char *, void *) {}, nullptr);
}

// Writes the input to a per-process file (removed at exit) and returns its
// path.
inline const std::string &fuzz_write_file(const uint8_t *data, size_t size) {
  struct Scratch {
    std::string path = "/tmp/txfuzz." + std::to_string(getpid());
    ~Scratch() { unlink(path.c_str()); }
  };
  static const Scratch scratch;
  const std::string &path = scratch.path;
  FILE *f = std::fopen(path.c_str(), "wb");
  if (f != nullptr) {
    if (size > 0) std::fwrite(data, 1, size, f);
    std::fclose(f);
  }
  return path;
}

#endif  // FUZZ_FUZZ_COMMON_H_
