// The scan-answer reader, fed from a socket pair. The first byte picks the
// answer items and the report size limit; the rest is the daemon's answer.
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "fuzz_common.h"
#include "ipc/txc_ipc.h"
#include "txc_lib_internal.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz_quiet_log();
  init_ipc_system();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  const int flags = data[0] & 7;
  const int report_size = (data[0] >> 3) * 8;  // 0 (none) .. 248
  const char *names[] = {"[MemoryBuffer]", "/home/u/a.zip", "a/b/"};
  const char *name = names[(data[0] >> 3) % 3];
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return 0;
  // Fits the socket buffer for the input sizes the fuzzer uses.
  size_t off = 1;
  while (off < size) {
    ssize_t k = send(sv[1], data + off, size - off, MSG_NOSIGNAL);
    if (k <= 0) break;
    off += static_cast<size_t>(k);
  }
  close(sv[1]);

  txc_ipc_addr_t remote{};
  remote.addr.un.sun_family = AF_UNIX;
  txc_ipc_t *ipc = nullptr;
  if (create_ipc(TXC_IPC_TYPE_UNIX, nullptr, &remote, 2000, 0, &ipc) != TXC_IPC_OK) {
    close(sv[0]);
    return 0;
  }
  close(ipc->fd);
  ipc->fd = sv[0];
  ipc->connected = 1;

  txc_scanresult *res = nullptr;
  int rc = readResult(ipc, flags, name, &res, report_size);
  if (rc == 0) {
    if (res == nullptr) __builtin_trap();
    if ((flags & TXC_RETURN_VIRUSES) && txc_scanresult_viruses(res) == nullptr) __builtin_trap();
    const char *report = txc_scanresult_report(res);
    if (report == nullptr) __builtin_trap();
    if ((flags & TXC_RETURN_REPORT) && report_size > 0 &&
        strlen(report) >= static_cast<size_t>(report_size))
      __builtin_trap();
    txc_scanresult_free(res);
  } else if (res != nullptr) {
    __builtin_trap();
  }
  delete_ipc(&ipc);
  return 0;
}
