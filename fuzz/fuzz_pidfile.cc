// The daemon's PID file, as read when a pid: address is added.
#include <string>

#include "fuzz_common.h"
#include "txc_addrlist.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz_quiet_log();
  init_ipc_system();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string spec = "pid:" + fuzz_write_file(data, size);
  txc_addrlist_t *list = addrlist_create();
  if (list == nullptr) return 0;
  addrlist_add(list, spec.c_str(), 5, 0);
  for (txc_addrentry_t *e = addrlist_next(list, nullptr); e != nullptr;
       e = addrlist_next(list, e)) {
    int type = addrlist_entry_type(e);
    if (type != TXC_IPC_TYPE_TCP && type != TXC_IPC_TYPE_UNIX) __builtin_trap();
    if (addrlist_entry_addr(e) == nullptr) __builtin_trap();
  }
  addrlist_destroy(list);
  return 0;
}
