// IPC address specifications and channels: one stream connection over a
// UNIX-domain or TCP socket, with a timeout budget shared by all transfers.
// Results are IPC result codes: 0 success; -1 SIGPIPE disposition not
// changed/restored; -2 no memory; -4 bad or disabled type; -6 empty host
// name; -7 host not found; -8 already done; -9 wrong state; -10 resolver
// lock not created; -11 system call failed or peer closed; -13 timeout.
#ifndef TXLIB_IPC_TXC_IPC_H_
#define TXLIB_IPC_TXC_IPC_H_

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstddef>

#include "ipc/txc_timo.h"

enum {
  TXC_IPC_TYPE_0 = 0,
  TXC_IPC_TYPE_TCP = 1,
  TXC_IPC_TYPE_UNIX = 2,
  TXC_IPC_TYPE_MAX = 3,
};

enum {
  TXC_IPC_OK = 0,
  TXC_IPC_ESIGPIPE = -1,
  TXC_IPC_ENOMEM = -2,
  TXC_IPC_ETYPE = -4,
  TXC_IPC_EEMPTYHOST = -6,
  TXC_IPC_ENOHOST = -7,
  TXC_IPC_EALREADY = -8,
  TXC_IPC_ESTATE = -9,
  TXC_IPC_ELOCK = -10,
  TXC_IPC_ESYS = -11,
  TXC_IPC_ETIMEOUT = -13,
};

union txc_sockaddr_any {
  struct sockaddr sa;
  struct sockaddr_in in;
  struct sockaddr_un un;
};

// A parsed address specification.
struct txc_ipc_addr_t {
  char name[256];  // TCP: host text; UNIX: socket path (at most 254 characters)
  int name_len;    // strlen(name) + 1
  int resolved;    // TCP: host resolved while parsing
  txc_sockaddr_any addr;
};

typedef int (*txc_send_fn)(int *sock, const void *buf, size_t *len, txc_timeout_t timeout);
typedef int (*txc_recv_fn)(int *sock, void *buf, size_t *len, txc_timeout_t timeout);

// An IPC channel.
struct txc_ipc_t {
  int type;
  int allocated;
  int connected;
  int nonblocking;
  int listening;
  int bound;
  int localscan;
  int fd;
  txc_ipc_addr_t local;
  txc_ipc_addr_t remote;
  txc_timeout_t timeout;
  txc_send_fn send;
  txc_recv_fn recv;
};

// Address specifications: "default", inet:PORT@HOST, local:/PATH.
txc_ipc_addr_t *create_ipc_addr(const char *spec, int resolve, int *ipc_type);
int parse_addr(const char *spec, txc_ipc_addr_t *paddr, int *ptype, int resolve);
int delete_ipc_addr(txc_ipc_addr_t *addr);

// Subsystem: SIGPIPE is ignored between init and deinit.
int init_ipc_system();
int deinit_ipc_system();

// Channels.
int create_ipc(int type, const txc_ipc_addr_t *local, const txc_ipc_addr_t *remote,
               txc_timeout_t timeout, int localscan, txc_ipc_t **ipc_ptr);
int delete_ipc(txc_ipc_t **ipc_ptr);
int connect_ipc(txc_ipc_t *ipc);
// Move all *len_ptr bytes within the channel's budget; *len_ptr: bytes moved.
int send_ipc(txc_ipc_t *ipc, const void *buf, size_t *len_ptr);
int recv_ipc(txc_ipc_t *ipc, void *buf, size_t *len_ptr);
int is_localscan_allowed_by_ipc(const txc_ipc_t *ipc);
int bind_ipc(txc_ipc_t *ipc);
int listen_ipc(txc_ipc_t *ipc, int backlog);
int accept_ipc(txc_ipc_t *ipc, txc_ipc_t **ipc_ptr, txc_timeout_t timeout);

#endif  // TXLIB_IPC_TXC_IPC_H_
