// Internals of txc_lib: the scan result record, sessions with the daemon,
// the wire primitives and the answer reader. The stand-in daemon and the
// tests use the wire primitives too.
#ifndef TXLIB_TXC_LIB_INTERNAL_H_
#define TXLIB_TXC_LIB_INTERNAL_H_

#include <cstdint>

#include "ipc/txc_ipc.h"
#include "txc_addrlist.h"
#include "txlib/txlib.h"

struct txc_scanresult {
  uint32_t status;
  char *report;
  txc_strlist *viruses;
  txc_scanstat stat;
  char *quarantine;
};

// Adds count to the one counter that classifies code (first matching row of
// the classification table); a code that matches no row adds nothing.
// Counters saturate at INT32_MAX / INT32_MIN instead of overflowing.
void txc_scanstat_add(txc_scanstat *stat, uint32_t code, int32_t count);

// The address list of the started library, or nullptr.
txc_addrlist_t *txc_lib_addrlist();
// 1 between a successful txc_startup and txc_cleanup.
int txc_lib_started();

// Sessions.
txc_ipc_t *openSession(int localscan);
int closeSession(txc_ipc_t *ipc);

// Wire primitives: 32-bit big-endian integers and raw byte blocks.
// Results: 0; -8 send failed; -7 receive failed; -11 time used up.
int writeInt(txc_ipc_t *ipc, int32_t value);
int writeBuf(txc_ipc_t *ipc, const void *buf, uint32_t size);
int readInt(txc_ipc_t *ipc, int32_t *n_ptr);
int readOutput(txc_ipc_t *ipc, void *buf, uint32_t size);

// Reads one string (its length, then its bytes) into a new text. Long
// strings are read in bounded pieces, so memory grows only as bytes arrive.
// A string of skip_from bytes or more (skip_from 0: none) is read past
// without being kept: *text is then NULL. 1 on success; 0 when the transfer
// fails, the length is negative or memory runs out (logged).
int readString(txc_ipc_t *ipc, char **text, uint32_t skip_from);

// Answer reader.
int readResult(txc_ipc_t *ipc, int flags, const char *name, txc_scanresult **result,
               int report_size);
// limit: the list's own size limit (0 none), so that lines it would refuse
// are not held in memory on their way past.
int readStringList(txc_ipc_t *ipc, const char *name, txc_strlist *list, uint32_t limit);
int readStatistics(txc_ipc_t *ipc, txc_scanstat *stat);
// Size of an open file, -1 when it cannot be found.
int64_t fileSize(int fd);

#endif  // TXLIB_TXC_LIB_INTERNAL_H_
