// The IPC subsystem and its channels: one stream connection each, with a
// timeout budget that all transfers of the channel share.
#define TXC_MODULE "txc_ipc"

#include "ipc/txc_ipc.h"

#include <signal.h>

#include <cstring>

#include "ipc/txc_tcp.h"
#include "ipc/txc_unix.h"
#include "txc_alloc.h"
#include "txc_log.h"

namespace {

enum { kTcpEnabled = 1, kUnixEnabled = 2 };

struct ipc_system {
  int initialised = 0;
  int enabled = 0;
  struct sigaction saved_sigpipe;
};

ipc_system g_sys;

void empty_addr(txc_ipc_addr_t *addr) { memset(addr, 0, sizeof *addr); }

// Copies addr (or an empty address) into the channel's slot; a TCP host
// that was not resolved while parsing is looked up now, so that every
// channel uses the name's current address.
bool take_addr(int type, const txc_ipc_addr_t *addr, txc_ipc_addr_t *slot, const char *which) {
  if (addr == nullptr) {
    empty_addr(slot);
    return true;
  }
  memcpy(slot, addr, sizeof *slot);
  if (type == TXC_IPC_TYPE_TCP && !slot->resolved &&
      resolve_host(&slot->addr.in, slot->name) != 0) {
    txc_log_message(TXC_LOG_ERROR, "txlib: ipc: cannot resolve %s hostname %s", which, slot->name);
    return false;
  }
  return true;
}

// What a channel needs of its socket family.
struct family {
  int enabled_bit;
  sa_family_t af;
  int (*create)(int *sock, int nonblocking);
  txc_send_fn send;
  txc_recv_fn recv;
  const char *not_allowed;
  const char *cannot_create;
};

constexpr family kFamilies[] = {
    {kTcpEnabled, AF_INET, create_tcp_socket, send_tcp_socket, recv_tcp_socket,
     "txlib: ipc: tcp sockets not allowed", "txlib: ipc: cannot create tcp socket"},
    {kUnixEnabled, AF_UNIX, create_unix_socket, send_unix_socket, recv_unix_socket,
     "txlib: ipc: unix sockets not allowed", "txlib: ipc: cannot create unix socket"},
};

// The whole of create_ipc; accepted channels skip the socket, which the
// accepted descriptor would replace at once.
int make_channel(int type, const txc_ipc_addr_t *local, const txc_ipc_addr_t *remote,
                 txc_timeout_t timeout, int localscan, txc_ipc_t **ipc_ptr, bool open_socket) {
  txc_ipc_t *ipc = *ipc_ptr;
  int allocated = 0;
  if (ipc == nullptr) {
    ipc = static_cast<txc_ipc_t *>(txc_calloc(1, sizeof(txc_ipc_t)));
    if (ipc == nullptr) return -2;
    allocated = 1;
    *ipc_ptr = ipc;
  } else {
    memset(ipc, 0, sizeof *ipc);
  }
  ipc->allocated = allocated;
  ipc->type = type;
  ipc->localscan = localscan;
  ipc->timeout = timeout;
  ipc->fd = -1;
  if (!take_addr(type, local, &ipc->local, "local") ||
      !take_addr(type, remote, &ipc->remote, "remote")) {
    delete_ipc(ipc_ptr);
    return -11;
  }
  const family &f = kFamilies[type == TXC_IPC_TYPE_TCP ? 0 : 1];
  if (!(g_sys.enabled & f.enabled_bit)) {
    txc_log_message(TXC_LOG_ERROR, "%s", f.not_allowed);
    delete_ipc(ipc_ptr);
    return -4;
  }
  if (open_socket) {
    const int rc = f.create(&ipc->fd, ipc->nonblocking);
    if (rc != 0) {
      txc_log_message(TXC_LOG_PROGRESS, "%s", f.cannot_create);
      delete_ipc(ipc_ptr);
      return rc;
    }
  }
  ipc->send = f.send;
  ipc->recv = f.recv;
  ipc->local.addr.sa.sa_family = f.af;
  ipc->remote.addr.sa.sa_family = f.af;
  return 0;
}

typedef int (*step_fn)(txc_ipc_t *ipc, void *buf, size_t *len);

int send_step(txc_ipc_t *ipc, void *buf, size_t *len) {
  return ipc->send(&ipc->fd, buf, len, ipc->timeout);
}

int recv_step(txc_ipc_t *ipc, void *buf, size_t *len) {
  return ipc->recv(&ipc->fd, buf, len, ipc->timeout);
}

// Moves the whole buffer in as many steps as it takes, charging each step's
// time to the channel's budget.
int transfer(txc_ipc_t *ipc, char *buf, size_t *len_ptr, step_fn step, const char *expired) {
  const size_t size = *len_ptr;
  if (size == 0) return 0;
  if (!TXC_TIMEOUT_VALID(ipc->timeout)) return -13;
  size_t done = 0;
  int code = 0;
  for (;;) {
    const txc_timestamp start = timeout_start(ipc->timeout);
    code = step(ipc, buf + done, len_ptr);
    // Time spent in a failed step is spent too: the budget bounds the whole
    // conversation, retries included.
    ipc->timeout = timeout_left(ipc->timeout, start);
    if (code == 0) {
      done += *len_ptr;
      if (done >= size) break;
      if (ipc->timeout == TXC_TIMEOUT_EXPIRED) code = -13;
    }
    if (code != 0) {
      // Say how far the transfer got, also when a wait ran out.
      if (code == -13) {
        txc_log_message(TXC_LOG_ERROR, expired, static_cast<int>(size), static_cast<int>(done));
      }
      break;
    }
    *len_ptr = size - done;
  }
  *len_ptr = done;
  return code;
}

}  // namespace

int init_ipc_system() {
  if (g_sys.initialised) {
    txc_log_message(TXC_LOG_ERROR, "txlib: ipc: system has already been initialized");
    return -8;
  }
  struct sigaction ignore;
  memset(&ignore, 0, sizeof ignore);
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ignore.sa_flags = 0;
  if (sigaction(SIGPIPE, &ignore, &g_sys.saved_sigpipe) != 0) {
    txc_log_message(TXC_LOG_ERROR, "txlib: ipc: cannot ignore SIGPIPE");
    return -1;
  }
  if (init_tcp_system() == 0) {
    g_sys.enabled |= kTcpEnabled;
  } else {
    g_sys.enabled &= ~kTcpEnabled;
    txc_log_message(TXC_LOG_PROGRESS, "txlib: ipc: tcp sockets subsystem disabled");
  }
  if (init_unix_system() == 0) {
    g_sys.enabled |= kUnixEnabled;
  } else {
    g_sys.enabled &= ~kUnixEnabled;
    txc_log_message(TXC_LOG_PROGRESS, "txlib: ipc: unix sockets subsystem disabled");
  }
  g_sys.initialised = 1;
  return 0;
}

int deinit_ipc_system() {
  if (!g_sys.initialised) {
    txc_log_message(TXC_LOG_ERROR, "txlib: ipc: subsystem is not initialized");
    return -9;
  }
  int tcp_rc = 0;
  int unix_rc = 0;
  if (g_sys.enabled & kTcpEnabled) tcp_rc = deinit_tcp_system();
  if (g_sys.enabled & kUnixEnabled) unix_rc = deinit_unix_system();
  if (sigaction(SIGPIPE, &g_sys.saved_sigpipe, nullptr) != 0) {
    txc_log_message(TXC_LOG_ERROR, "txlib: ipc: cannot restore SIGPIPE handler");
    unix_rc = -1;
  }
  g_sys.initialised = 0;
  return tcp_rc != 0 ? tcp_rc : unix_rc;
}

int create_ipc(int type, const txc_ipc_addr_t *local, const txc_ipc_addr_t *remote,
               txc_timeout_t timeout, int localscan, txc_ipc_t **ipc_ptr) {
  TXC_ASSERT_TEXT(ipc_ptr != nullptr, "ipc");
  TXC_ASSERT_TEXT(TXC_TIMEOUT_VALID(timeout), "((-2 <= timeout) && (timeout <= 14400000))");
  TXC_ASSERT_TEXT((TXC_IPC_TYPE_0 < type) && (type < TXC_IPC_TYPE_MAX),
                  "((TXC_IPC_TYPE_0 < type) && (type < TXC_IPC_TYPE_MAX))");
  return make_channel(type, local, remote, timeout, localscan, ipc_ptr, true);
}

int delete_ipc(txc_ipc_t **ipc_ptr) {
  TXC_ASSERT_TEXT(ipc_ptr != nullptr, "ipc");
  txc_ipc_t *ipc = *ipc_ptr;
  if (ipc == nullptr) return -4;
  if (ipc->type == TXC_IPC_TYPE_TCP) {
    close_tcp_socket(&ipc->fd);
  } else if (ipc->type == TXC_IPC_TYPE_UNIX) {
    close_unix_socket(&ipc->fd, &ipc->local.addr.un, ipc->bound);
  } else {
    return -4;
  }
  if (ipc->allocated) {
    txc_free(ipc);
    *ipc_ptr = nullptr;
  }
  return 0;
}

int connect_ipc(txc_ipc_t *ipc) {
  TXC_ASSERT(ipc);
  if (ipc->listening) return -9;
  int rc;
  if (ipc->type == TXC_IPC_TYPE_TCP) {
    rc = connect_tcp_socket(ipc->fd, &ipc->remote.addr.in, ipc->timeout);
  } else if (ipc->type == TXC_IPC_TYPE_UNIX) {
    rc = connect_unix_socket(ipc->fd, &ipc->remote.addr.un, ipc->timeout);
  } else {
    return -4;
  }
  if (rc == -13) txc_log_message(TXC_LOG_ERROR, "txlib: ipc: timeout expired");
  if (rc == 0) ipc->connected = 1;
  return rc;
}

int send_ipc(txc_ipc_t *ipc, const void *buf, size_t *len_ptr) {
  TXC_ASSERT(ipc);
  TXC_ASSERT(buf);
  TXC_ASSERT(len_ptr);
  // The step function never writes through the buffer it sends from.
  return transfer(ipc, const_cast<char *>(static_cast<const char *>(buf)), len_ptr, send_step,
                  "txlib: ipc: send %d bytes failed (only %d send) - timeout expired");
}

int recv_ipc(txc_ipc_t *ipc, void *buf, size_t *len_ptr) {
  TXC_ASSERT(ipc);
  TXC_ASSERT(buf);
  TXC_ASSERT(len_ptr);
  return transfer(ipc, static_cast<char *>(buf), len_ptr, recv_step,
                  "txlib: ipc: recv %d bytes failed (only %d recv) - timeout expired");
}

int is_localscan_allowed_by_ipc(const txc_ipc_t *ipc) {
  TXC_ASSERT(ipc);
  return ipc->localscan;
}

int bind_ipc(txc_ipc_t *ipc) {
  TXC_ASSERT(ipc);
  if (ipc->bound) return -8;
  int rc;
  if (ipc->type == TXC_IPC_TYPE_TCP) {
    rc = bind_tcp_socket(ipc->fd, &ipc->local.addr.in);
  } else if (ipc->type == TXC_IPC_TYPE_UNIX) {
    rc = bind_unix_socket(ipc->fd, &ipc->local.addr.un);
  } else {
    return -4;
  }
  if (rc == 0) ipc->bound = 1;
  return rc;
}

int listen_ipc(txc_ipc_t *ipc, int backlog) {
  TXC_ASSERT(ipc);
  TXC_ASSERT(backlog > 0);
  if (ipc->listening || ipc->connected) return -8;
  int rc;
  if (ipc->type == TXC_IPC_TYPE_TCP) {
    rc = listen_tcp_socket(ipc->fd, backlog);
  } else if (ipc->type == TXC_IPC_TYPE_UNIX) {
    rc = listen_unix_socket(ipc->fd, backlog);
  } else {
    return -4;
  }
  if (rc == 0) ipc->listening = 1;
  return rc;
}

int accept_ipc(txc_ipc_t *ipc, txc_ipc_t **ipc_ptr, txc_timeout_t timeout) {
  TXC_ASSERT(ipc);
  TXC_ASSERT(ipc_ptr);
  TXC_ASSERT_TEXT(TXC_TIMEOUT_VALID(timeout), "((-2 <= timeout) && (timeout <= 14400000))");
  if (!ipc->listening) return -9;
  int rc = make_channel(ipc->type, nullptr, nullptr, timeout, is_localscan_allowed_by_ipc(ipc),
                        ipc_ptr, false);
  if (rc != 0) return rc;
  txc_ipc_t *conn = *ipc_ptr;
  if (ipc->type == TXC_IPC_TYPE_TCP) {
    rc = accept_tcp_socket(ipc->fd, &conn->remote.addr.in, &conn->fd);
  } else {
    rc = accept_unix_socket(ipc->fd, &conn->remote.addr.un, &conn->fd);
  }
  if (rc != 0) {
    delete_ipc(ipc_ptr);
    return rc;
  }
  conn->remote.name[0] = '\0';
  conn->remote.name_len = 0;
  // The listener's address, for the record only: the new channel is not
  // bound, so deleting it never removes the listener's socket file.
  memcpy(&conn->local, &ipc->local, sizeof conn->local);
  conn->connected = 1;
  return 0;
}
