// Address specifications: "default", inet:PORT@HOST and local:/PATH.
#define TXC_MODULE "txc_ipc"

#include <strings.h>

#include <cstring>

#include "ipc/txc_ipc.h"
#include "ipc/txc_tcp.h"
#include "ipc/txc_unix.h"
#include "txc_alloc.h"
#include "txc_log.h"

namespace {

constexpr size_t kNameMax = 254;  // the name field keeps room to spare

void store_name(txc_ipc_addr_t *paddr, const char *text) {
  const size_t len = strnlen(text, kNameMax);
  memcpy(paddr->name, text, len);
  paddr->name[len] = '\0';
  paddr->name_len = static_cast<int>(len) + 1;
}

bool has_prefix(const char *text, const char *prefix) {
  return strncasecmp(text, prefix, strlen(prefix)) == 0;
}

}  // namespace

txc_ipc_addr_t *create_ipc_addr(const char *spec, int resolve, int *ipc_type) {
  TXC_ASSERT(spec);
  TXC_ASSERT(ipc_type);
  *ipc_type = TXC_IPC_TYPE_0;
  const char *text = spec;
  if (has_prefix(spec, "default")) {
    text = "inet:3000@localhost";
  } else {
    if (strchr(spec, ':') == nullptr) {
      txc_log_message(TXC_LOG_ERROR, "txlib: ipc: format separator %c not found in %s", ':', spec);
      return nullptr;
    }
    if (has_prefix(spec, "pid:")) {
      txc_log_message(TXC_LOG_ERROR, "txlib: ipc: using recursive pid: format is invalid");
      return nullptr;
    }
  }
  auto *addr = static_cast<txc_ipc_addr_t *>(txc_calloc(1, sizeof(txc_ipc_addr_t)));
  if (addr == nullptr) {
    txc_log_message(TXC_LOG_ERROR, "txlib: ipc: no memory for address");
    *ipc_type = TXC_IPC_TYPE_0;
    return nullptr;
  }
  if (!parse_addr(text, addr, ipc_type, resolve)) {
    txc_log_message(TXC_LOG_ERROR, "txlib: ipc: cannot parse address from specification <%s>",
                    spec);
    txc_free(addr);
    *ipc_type = TXC_IPC_TYPE_0;
    return nullptr;
  }
  addr->resolved = resolve;
  txc_log_message(TXC_LOG_PROGRESS, "txlib: ipc: address %s added", spec);
  return addr;
}

int parse_addr(const char *spec, txc_ipc_addr_t *paddr, int *ptype, int resolve) {
  TXC_ASSERT(spec);
  TXC_ASSERT(paddr);
  TXC_ASSERT(ptype);
  *ptype = TXC_IPC_TYPE_0;
  txc_log_message(TXC_LOG_DETAIL, "txlib: ipc: parse address string <%s>", spec);
  const char *colon = strchr(spec, ':');
  if (colon == nullptr) {
    txc_log_message(TXC_LOG_ERROR, "txlib: ipc: wrong format of IPC address <%s>", spec);
    return 0;
  }
  const char *rest = colon + 1;
  if (has_prefix(spec, "inet:")) {
    const char *at = strchr(rest, '@');
    if (at == nullptr) {
      txc_log_message(TXC_LOG_ERROR, "txlib: ipc: not a tcp-socket address string <%s>", rest);
      return 0;
    }
    const char *host = at + 1;
    store_name(paddr, host);
    char port[256];
    size_t port_len = static_cast<size_t>(at - rest);
    if (port_len > sizeof port - 1) port_len = sizeof port - 1;
    memcpy(port, rest, port_len);
    port[port_len] = '\0';
    if (!fill_tcp_addr(host, port, &paddr->addr.in, resolve)) {
      txc_log_message(TXC_LOG_ERROR, "txlib: ipc: wrong tcp-socket address <%s>", host);
      return 0;
    }
    *ptype = TXC_IPC_TYPE_TCP;
    return 1;
  }
  if (has_prefix(spec, "local:")) {
    if (rest[0] != '/') {
      txc_log_message(TXC_LOG_ERROR, "txlib: ipc: not a unix-socket path <%s>", rest);
      return 0;
    }
    store_name(paddr, rest);
    fill_unix_addr(paddr->name, &paddr->addr.un);
    *ptype = TXC_IPC_TYPE_UNIX;
    return 1;
  }
  txc_log_message(TXC_LOG_ERROR, "txlib: ipc: invalid family specified %s", spec);
  return 0;
}

int delete_ipc_addr(txc_ipc_addr_t *addr) {
  TXC_ASSERT(addr);
  txc_free(addr);
  return 0;
}
