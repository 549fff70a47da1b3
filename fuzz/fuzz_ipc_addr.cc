// Address specifications: "default", inet:PORT@HOST, local:PATH and junk.
#include <cstring>
#include <string>

#include "fuzz_common.h"
#include "ipc/txc_ipc.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz_quiet_log();
  init_ipc_system();  // the service look-up needs the resolver lock
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string spec(reinterpret_cast<const char *>(data), size);
  int type = -1;
  // Never resolve: the fuzzer must not wait on name servers.
  txc_ipc_addr_t *addr = create_ipc_addr(spec.c_str(), 0, &type);
  if (addr != nullptr) {
    if (type != TXC_IPC_TYPE_TCP && type != TXC_IPC_TYPE_UNIX) __builtin_trap();
    if (strnlen(addr->name, sizeof addr->name) >= sizeof addr->name) __builtin_trap();
    if (type == TXC_IPC_TYPE_UNIX &&
        strnlen(addr->addr.un.sun_path, sizeof addr->addr.un.sun_path) >=
            sizeof addr->addr.un.sun_path)
      __builtin_trap();
    delete_ipc_addr(addr);
  } else if (type != TXC_IPC_TYPE_0) {
    __builtin_trap();
  }
  return 0;
}
