// Library calls in one process against the raw loop that does the same on
// the wire with plain system calls: connect, request, reply, close.
//
// TXBENCH_UNIX=PATH and/or TXBENCH_TCP_PORT=PORT name the sink; the
// benchmarks of each transport given are registered.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "txlib/txlib.h"

extern "C" {
#include "floor_common.h"
}

namespace {

struct Target {
  const char *path;  // UNIX socket, or nullptr for TCP
  int port;
  std::string spec;
};

// Starts the library for one benchmark and stops it at the end.
struct LibSession {
  bool ok;
  explicit LibSession(const Target &t) {
    ok = txc_startup(TXC_LIB_VERSION, t.spec.c_str(), 0, 0) == TXC_OK;
  }
  ~LibSession() {
    if (ok) txc_cleanup();
  }
};

void raw_version(benchmark::State &state, const Target &t) {
  char req[4];
  char *at = req;
  floor_put_int(&at, TXC_CMD_VERSION);
  for (auto _ : state) {
    int fd = floor_connect(t.path, t.port);
    uint32_t reply;
    if (fd < 0 || !floor_send_all(fd, req, 4) || !floor_recv_all(fd, &reply, 4)) {
      state.SkipWithError("raw version query failed");
      if (fd >= 0) close(fd);
      break;
    }
    close(fd);
    benchmark::DoNotOptimize(reply);
  }
}

void lib_version(benchmark::State &state, const Target &t) {
  LibSession lib(t);
  if (!lib.ok) {
    state.SkipWithError("txc_startup failed");
    return;
  }
  for (auto _ : state) {
    int major = 0, minor = 0;
    if (txc_daemon_version(&major, &minor) != TXC_OK || major != 4) {
      state.SkipWithError("txc_daemon_version failed");
      break;
    }
    benchmark::DoNotOptimize(minor);
  }
}

// The raw scan sends the four header words in one piece and the data in
// another: the least a request can cost. With `fieldwise`, each word goes
// in a send of its own, as the library's wire primitives do; the gap
// between the two shows what those sends cost.
void raw_scan_impl(benchmark::State &state, const Target &t, bool fieldwise) {
  const size_t size = static_cast<size_t>(state.range(0));
  std::vector<char> data(size, 'x');
  char header[16];
  char *at = header;
  floor_put_int(&at, TXC_CMD_SCAN);
  floor_put_int(&at, 0);
  floor_put_int(&at, 0);
  floor_put_int(&at, static_cast<int32_t>(size));
  for (auto _ : state) {
    int fd = floor_connect(t.path, t.port);
    uint32_t reply;
    bool sent = fd >= 0;
    if (sent && fieldwise) {
      for (size_t off = 0; sent && off < sizeof header; off += 4)
        sent = floor_send_all(fd, header + off, 4);
    } else if (sent) {
      sent = floor_send_all(fd, header, sizeof header);
    }
    if (!sent || !floor_send_all(fd, data.data(), size) || !floor_recv_all(fd, &reply, 4)) {
      state.SkipWithError("raw scan failed");
      if (fd >= 0) close(fd);
      break;
    }
    close(fd);
    benchmark::DoNotOptimize(reply);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(size));
}

void raw_scan(benchmark::State &state, const Target &t) { raw_scan_impl(state, t, false); }
void raw_scan_fieldwise(benchmark::State &state, const Target &t) { raw_scan_impl(state, t, true); }

void lib_scan(benchmark::State &state, const Target &t) {
  const int size = static_cast<int>(state.range(0));
  std::vector<char> data(static_cast<size_t>(size), 'x');
  LibSession lib(t);
  if (!lib.ok) {
    state.SkipWithError("txc_startup failed");
    return;
  }
  for (auto _ : state) {
    txc_scanresult *result = nullptr;
    if (txc_scan_buffer(data.data(), size, 0, &result, 0) != TXC_OK ||
        txc_scanresult_status(result) != 0) {
      state.SkipWithError("txc_scan_buffer failed");
      txc_scanresult_free(result);
      break;
    }
    txc_scanresult_free(result);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size);
}

void register_for(const char *name, const Target &t) {
  std::string n(name);
  benchmark::RegisterBenchmark((n + "/raw_version").c_str(), raw_version, t);
  benchmark::RegisterBenchmark((n + "/txc_daemon_version").c_str(), lib_version, t);
  benchmark::RegisterBenchmark((n + "/raw_scan").c_str(), raw_scan, t)->Arg(1024)->Arg(1 << 20);
  benchmark::RegisterBenchmark((n + "/raw_scan_fieldwise").c_str(), raw_scan_fieldwise, t)
      ->Arg(1024)
      ->Arg(1 << 20);
  benchmark::RegisterBenchmark((n + "/txc_scan_buffer").c_str(), lib_scan, t)
      ->Arg(1024)
      ->Arg(1 << 20);
}

}  // namespace

int main(int argc, char **argv) {
  // Only errors: the benchmark output must stay readable.
  txc_log_open("console", 2, 0, 0);
  const char *path = getenv("TXBENCH_UNIX");
  const char *port = getenv("TXBENCH_TCP_PORT");
  if (path == nullptr && port == nullptr) {
    fprintf(stderr, "txbench-lib: set TXBENCH_UNIX and/or TXBENCH_TCP_PORT\n");
    return 2;
  }
  if (path != nullptr) register_for("unix", Target{path, 0, std::string("local:") + path});
  if (port != nullptr)
    register_for("tcp", Target{nullptr, atoi(port), std::string("inet:") + port + "@127.0.0.1"});
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
