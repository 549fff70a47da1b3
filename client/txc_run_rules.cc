#include "txc_run_rules.h"

#include <cstdio>

int exit_bits_for_status(uint32_t status) {
  int bits = 0;
  if (status & 0xe0) bits |= kExitVirus;
  if (status & 0x1e08) bits |= kExitSkipped;
  if (status & 0x46000) bits |= kExitArchive;
  if (status & 0x8017) bits |= kExitDaemon;
  if (status & 0x20000) bits |= kExitFilter;
  return bits;
}

bool build_address_spec(run_settings *settings) {
  run_settings &s = *settings;
  char *out = s.address_spec;
  const size_t size = sizeof s.address_spec;
  int n;
  if (s.socket_path[0] != '\0') {
    n = snprintf(out, size, "local:%s", s.socket_path);
  } else if (s.pid_file[0] != '\0') {
    n = snprintf(out, size, "pid:%s", s.pid_file);
  } else if (s.daemon_host[0] != '\0' || s.daemon_port > 0) {
    const char *host = s.daemon_host[0] != '\0' ? s.daemon_host : "localhost";
    int port = s.daemon_port > 0 ? s.daemon_port : 3000;
    n = snprintf(out, size, "inet:%d@%s", port, host);
  } else {
    n = snprintf(out, size, "default");
  }
  if (n < 0 || static_cast<size_t>(n) >= size) {
    out[0] = '\0';
    return false;
  }
  return true;
}
