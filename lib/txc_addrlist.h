// The daemon address list: the ordered primary and backup daemon addresses
// of a started library, each with its session timeout.
#ifndef TXLIB_TXC_ADDRLIST_H_
#define TXLIB_TXC_ADDRLIST_H_

#include "ipc/txc_ipc.h"
#include "txc_log.h"

struct txc_addrentry_t {
  txc_addrentry_t *next;
  txc_addrentry_t *prev;
  txc_timeout_t timeout;  // -1, or 1000 .. 14400000 in steps of 1000
  int type;               // TXC_IPC_TYPE_TCP or TXC_IPC_TYPE_UNIX
  txc_ipc_addr_t *addr;   // owned by the entry
};

struct txc_addrlist_t {
  txc_addrentry_t *first;
  txc_addrentry_t *last;
  txc_mutex_t lock;
};

txc_addrlist_t *addrlist_create();
// 1 when every address of the address specification (or its PID file) was added.
int addrlist_add(txc_addrlist_t *list, const char *spec, int seconds, int resolve);
txc_addrentry_t *addrlist_next(txc_addrlist_t *list, txc_addrentry_t *entry);
void addrlist_destroy(txc_addrlist_t *list);
int addrlist_entry_type(const txc_addrentry_t *entry);
txc_ipc_addr_t *addrlist_entry_addr(const txc_addrentry_t *entry);
txc_timeout_t addrlist_entry_timeout(const txc_addrentry_t *entry);

#endif  // TXLIB_TXC_ADDRLIST_H_
