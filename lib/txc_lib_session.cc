// Sessions with the daemon and the wire primitives. Every byte of the
// protocol passes through writeBuf or readOutput: integers are 32-bit
// big-endian on any host, byte blocks are raw.
#define TXC_MODULE "txc_lib"

#include <cstddef>
#include <cstdint>

#include "ipc/txc_ipc.h"
#include "txc_addrlist.h"
#include "txc_alloc.h"
#include "txc_lib_internal.h"
#include "txc_log.h"

txc_ipc_t *openSession(int localscan) {
  txc_addrlist_t *list = txc_lib_addrlist();
  // Only the primary daemon (the first entry) may be asked to read a file
  // by its path; a backup never shares that promise.
  int flag = localscan ? 1 : 0;
  for (txc_addrentry_t *entry = addrlist_next(list, nullptr); entry != nullptr;
       entry = addrlist_next(list, entry)) {
    txc_ipc_t *ipc = nullptr;
    if (create_ipc(addrlist_entry_type(entry), nullptr, addrlist_entry_addr(entry),
                   addrlist_entry_timeout(entry), flag, &ipc) == TXC_IPC_OK &&
        connect_ipc(ipc) == TXC_IPC_OK) {
      return ipc;
    }
    if (ipc != nullptr) delete_ipc(&ipc);
    flag = 0;
  }
  txc_log_message(TXC_LOG_ERROR, "txlib: cannot create connection with a Tavrix daemon");
  return nullptr;
}

int closeSession(txc_ipc_t *ipc) {
  if (delete_ipc(&ipc) != TXC_IPC_OK) {
    txc_log_message(TXC_LOG_PROGRESS, "txlib: ipc-channel closing failed");
    return TXC_ERR_TRANSPORT;
  }
  return TXC_OK;
}

int writeInt(txc_ipc_t *ipc, int32_t value) {
  TXC_ASSERT(ipc);
  uint32_t v = static_cast<uint32_t>(value);
  unsigned char bytes[4] = {static_cast<unsigned char>(v >> 24),
                            static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 8),
                            static_cast<unsigned char>(v)};
  return writeBuf(ipc, bytes, sizeof bytes);
}

int writeBuf(txc_ipc_t *ipc, const void *buf, uint32_t size) {
  TXC_ASSERT(ipc);
  TXC_ASSERT(buf);
  TXC_ASSERT(size > 0);
  size_t len = size;
  int rc = send_ipc(ipc, buf, &len);
  if (rc == TXC_IPC_ETIMEOUT) return TXC_ERR_TIMEOUT;
  if (rc != TXC_IPC_OK || len != size) return TXC_ERR_SEND;
  return TXC_OK;
}

int readInt(txc_ipc_t *ipc, int32_t *n_ptr) {
  TXC_ASSERT(ipc);
  TXC_ASSERT(n_ptr);
  unsigned char bytes[4];
  int rc = readOutput(ipc, bytes, sizeof bytes);
  if (rc != TXC_OK) return rc;
  uint32_t v = (static_cast<uint32_t>(bytes[0]) << 24) | (static_cast<uint32_t>(bytes[1]) << 16) |
               (static_cast<uint32_t>(bytes[2]) << 8) | static_cast<uint32_t>(bytes[3]);
  *n_ptr = static_cast<int32_t>(v);
  return TXC_OK;
}

int readOutput(txc_ipc_t *ipc, void *buf, uint32_t size) {
  TXC_ASSERT(ipc);
  TXC_ASSERT(buf);
  TXC_ASSERT(size > 0);
  size_t len = size;
  int rc = recv_ipc(ipc, buf, &len);
  if (rc == TXC_IPC_ETIMEOUT) return TXC_ERR_TIMEOUT;
  if (rc != TXC_IPC_OK || len != size) return TXC_ERR_RECV;
  return TXC_OK;
}

namespace {
// Bytes read per step of a long string; the daemon's word alone never
// makes the library hold more than this beyond what has arrived.
constexpr uint32_t kStringPiece = 4096;
}  // namespace

int readString(txc_ipc_t *ipc, char **text, uint32_t skip_from) {
  *text = nullptr;
  int32_t n = 0;
  if (readInt(ipc, &n) != TXC_OK) return 0;
  if (n < 0) {
    txc_log_message(TXC_LOG_ERROR, "txlib: daemon sent a negative string length (%d)", n);
    return 0;
  }
  uint32_t len = static_cast<uint32_t>(n);
  if (skip_from != 0 && len >= skip_from) {
    // Not wanted: read past it so that the stream stays in step.
    unsigned char sink[4096];
    for (uint32_t left = len; left > 0;) {
      uint32_t piece = left < sizeof sink ? left : static_cast<uint32_t>(sizeof sink);
      if (readOutput(ipc, sink, piece) != TXC_OK) return 0;
      left -= piece;
    }
    txc_log_message(TXC_LOG_DETAIL, "txlib: string of %u bytes skipped (over the size limit)", len);
    return 1;
  }
  size_t cap = static_cast<size_t>(len < kStringPiece ? len : kStringPiece) + 1;
  char *buf = static_cast<char *>(txc_malloc(cap));
  if (buf == nullptr) {
    txc_log_message(TXC_LOG_ERROR, "txlib: %s(%d): cannot allocate memory", TXC_MODULE, __LINE__);
    return 0;
  }
  size_t got = 0;
  while (got < len) {
    size_t piece = len - got < kStringPiece ? len - got : kStringPiece;
    if (got + piece + 1 > cap) {
      size_t want = cap * 2 > got + piece + 1 ? cap * 2 : got + piece + 1;
      if (want > static_cast<size_t>(len) + 1) want = static_cast<size_t>(len) + 1;
      char *grown = static_cast<char *>(txc_realloc(buf, want));
      if (grown == nullptr) {
        txc_log_message(TXC_LOG_ERROR, "txlib: %s(%d): cannot allocate memory", TXC_MODULE,
                        __LINE__);
        txc_free(buf);
        return 0;
      }
      buf = grown;
      cap = want;
    }
    if (readOutput(ipc, buf + got, static_cast<uint32_t>(piece)) != TXC_OK) {
      txc_free(buf);
      return 0;
    }
    got += piece;
  }
  buf[len] = '\0';
  *text = buf;
  return 1;
}
