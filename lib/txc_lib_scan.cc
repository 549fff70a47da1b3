// The four scan requests (memory buffer, file, part of a file, caller's
// read function) and the reader of the scan answer.
#define TXC_MODULE "txc_lib"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "ipc/txc_ipc.h"
#include "txc_alloc.h"
#include "txc_lib_internal.h"
#include "txc_log.h"

namespace {

constexpr int kPiece = 4096;  // file and callback data go out in pieces of this size
constexpr int kMaxNameLength = 1024;
constexpr int64_t kMaxDataLength = INT64_C(0xffffffff);  // the data length is 32 bits

struct StrlistGuard {
  txc_strlist *list;
  ~StrlistGuard() { strlist_free(list); }
};

// A name is a text of 1 to 1024 bytes; its length must not run past the
// text, since that many bytes go on the wire.
bool name_ok(const char *name, int len) {
  if (name == nullptr) return false;
  if (len < 1 || len > kMaxNameLength) return false;
  return strnlen(name, static_cast<size_t>(len)) == static_cast<size_t>(len);
}

// Writes the name length and the name's bytes (just 0 without a name).
bool write_name(txc_ipc_t *ipc, const char *name, int len) {
  if (writeInt(ipc, name != nullptr ? len : 0) != TXC_OK) return false;
  return name == nullptr || writeBuf(ipc, name, static_cast<uint32_t>(len)) == TXC_OK;
}

// The text of a report line to keep: from the object's own name on, its
// directories cut off. NULL when the line does not name the object.
const char *kept_text(const char *line, uint32_t len, const char *name, size_t cut) {
  if (cut == 0 || cut >= len) return line;
  const char *at = strstr(line, name);
  if (at == nullptr) return nullptr;
  if (strlen(at) > cut) at += cut;
  return at;
}

}  // namespace

int64_t fileSize(int fd) {
  off_t here = lseek(fd, 0, SEEK_CUR);
  if (here == -1) return -1;
  off_t end = lseek(fd, 0, SEEK_END);
  if (end == -1) return -1;
  if (lseek(fd, here, SEEK_SET) == -1) return -1;
  return static_cast<int64_t>(end);
}

int readStringList(txc_ipc_t *ipc, const char *name, txc_strlist *list, uint32_t limit) {
  int32_t count = 0;
  if (readInt(ipc, &count) != TXC_OK) return 0;
  if (count <= 0) return 1;
  size_t cut = 0;
  if (name != nullptr) {
    const char *slash = strrchr(name, '/');
    if (slash != nullptr) cut = static_cast<size_t>(slash - name) + 1;
  }
  // Each string needs its own bytes to arrive, so a hostile count ends
  // when the daemon stops sending.
  for (int32_t i = 0; i < count; ++i) {
    // Lines that the list would refuse for its size limit are read past
    // without being held. A line that may be shortened is only known to be
    // refused once the list is full.
    uint32_t skip_from = 0;
    if (limit != 0) {
      uint32_t room = limit - strlist_length(list);
      skip_from = cut == 0 ? room : (room <= 1 ? 1 : 0);
    }
    char *line = nullptr;
    if (!readString(ipc, &line, skip_from)) return 0;
    if (line == nullptr) continue;  // skipped on the wire
    uint32_t len = static_cast<uint32_t>(strlen(line));
    const char *text = kept_text(line, len, name, cut);
    // A NULL text makes the list note the dropped line.
    size_t kept = text != nullptr ? strlen(text) : 0;
    bool refused = limit != 0 && strlist_length(list) + static_cast<uint64_t>(kept) >= limit;
    int ok = strlist_add(list, text);
    txc_free(line);
    // The limit may refuse a line; losing one to want of memory would
    // return a wrong answer as a good one.
    if (!ok && !refused) return 0;
  }
  return 1;
}

int readStatistics(txc_ipc_t *ipc, txc_scanstat *stat) {
  int32_t count = 0;
  if (readInt(ipc, &count) != TXC_OK) return 0;
  for (int32_t i = 0; i < count; ++i) {
    int32_t code = 0;
    int32_t number = 0;
    if (readInt(ipc, &code) != TXC_OK || readInt(ipc, &number) != TXC_OK) return 0;
    txc_scanstat_add(stat, static_cast<uint32_t>(code), number);
  }
  return 1;
}

int readResult(txc_ipc_t *ipc, int flags, const char *name, txc_scanresult **result,
               int report_size) {
  txc_scanresult *res = txc_scanresult_create();
  *result = res;
  if (res == nullptr) return TXC_ERR_NOMEM;
  uint32_t limit = static_cast<uint32_t>(report_size);
  StrlistGuard report{nullptr};
  bool ok = true;
  if (flags & TXC_RETURN_REPORT) {
    report.list = strlist_create(limit);
    ok = report.list != nullptr;
  }
  if (ok && (flags & TXC_RETURN_VIRUSES)) {
    res->viruses = strlist_create(limit);
    ok = res->viruses != nullptr;
  }
  int32_t status = 0;
  ok = ok && readInt(ipc, &status) == TXC_OK;
  if (ok) res->status = static_cast<uint32_t>(status);
  if (ok && (flags & TXC_RETURN_VIRUSES)) ok = readStringList(ipc, nullptr, res->viruses, limit);
  if (ok && (flags & TXC_RETURN_REPORT)) {
    ok = readStringList(ipc, name, report.list, limit);
    if (ok) {
      res->report = strlist_join(report.list, TXC_STRLIST_FORWARD);
      if (res->report == nullptr) {
        // Without its text the result would claim no report was asked for.
        txc_log_message(TXC_LOG_ERROR, "txlib: %s(%d): cannot allocate memory", TXC_MODULE,
                        __LINE__);
        ok = false;
      }
    }
  }
  if (ok && (flags & TXC_RETURN_CODES)) ok = readStatistics(ipc, &res->stat);
  if (!ok) {
    txc_scanresult_free(res);
    *result = nullptr;
    return TXC_ERR_TRANSPORT;
  }
  return TXC_OK;
}

int txc_scan_buffer(const void *buffer, int size, int flags, txc_scanresult **result,
                    int report_size) {
  if (result == nullptr) {
    txc_log_message(TXC_LOG_ERROR, "txlib: scanbuffer: bad parameters (null pointer passed)");
    return TXC_ERR_PARAM;
  }
  *result = nullptr;
  if (buffer == nullptr) {
    txc_log_message(TXC_LOG_ERROR, "txlib: scanbuffer: bad parameters (null pointer passed)");
    return TXC_ERR_PARAM;
  }
  if (!txc_lib_started()) {
    txc_log_message(TXC_LOG_ERROR, "txlib: scanbuffer: library is not initialized");
    return TXC_ERR_NOTINIT;
  }
  if (size <= 0) {
    txc_log_message(TXC_LOG_ERROR, "txlib: scanbuffer: bad parameters (null pointer passed)");
    return TXC_ERR_PARAM;
  }
  txc_ipc_t *ipc = openSession(0);
  if (ipc == nullptr) return TXC_ERR_TRANSPORT;
  if (writeInt(ipc, TXC_CMD_SCAN) != TXC_OK || writeInt(ipc, flags) != TXC_OK ||
      writeInt(ipc, 0) != TXC_OK || writeInt(ipc, size) != TXC_OK ||
      writeBuf(ipc, buffer, static_cast<uint32_t>(size)) != TXC_OK ||
      readResult(ipc, flags, "[MemoryBuffer]", result, report_size) != TXC_OK) {
    txc_log_message(TXC_LOG_DETAIL, "txlib: scanbuffer: ipc-operation failed");
    closeSession(ipc);
    return TXC_ERR_TRANSPORT;
  }
  return closeSession(ipc);
}

namespace {

// Everything txc_scan_file holds, released on every path out of it.
struct FileScan {
  txc_ipc_t *ipc = nullptr;
  int fd = -1;

  int fail(int code) {
    txc_log_message(TXC_LOG_DETAIL, "txlib: scanfile failed");
    if (fd >= 0) close(fd);
    fd = -1;
    if (ipc != nullptr) closeSession(ipc);
    ipc = nullptr;
    return code;
  }
};

}  // namespace

int txc_scan_file(const char *name, int name_len, int local, int flags, txc_scanresult **result,
                  int report_size) {
  if (result == nullptr) {
    txc_log_message(TXC_LOG_ERROR, "txlib: scanfile: bad parameters");
    return TXC_ERR_PARAM;
  }
  *result = nullptr;
  if (!txc_lib_started()) {
    txc_log_message(TXC_LOG_ERROR, "txlib: scanfile: library is not initialized");
    return TXC_ERR_NOTINIT;
  }
  // A file scan always needs a name: one to open, or one for the daemon.
  if (!name_ok(name, name_len)) {
    txc_log_message(TXC_LOG_ERROR, "txlib: scanfile: bad parameters");
    return TXC_ERR_PARAM;
  }
  FileScan s;
  s.ipc = openSession(local ? 1 : 0);
  if (s.ipc == nullptr) {
    txc_log_message(TXC_LOG_DETAIL, "txlib: scanfile: cannot open scan session with tavrixd");
    return s.fail(TXC_ERR_TRANSPORT);
  }
  uint32_t data_len = 0;
  if (!(local && is_localscan_allowed_by_ipc(s.ipc))) {
    if (local) {
      txc_log_message(TXC_LOG_WARNING,
                      "txlib: scanfile: cannot use <localscan> mode on backup tavrixd");
    }
    s.fd = open(name, O_RDONLY);
    if (s.fd < 0) {
      txc_log_message(TXC_LOG_ERROR, "txlib: scanfile: cannot open file <%s>", name);
      return s.fail(TXC_ERR_BADFILE);
    }
    int64_t size = fileSize(s.fd);
    if (size < 0) {
      // A pipe or the like: its length cannot be announced up front.
      txc_log_message(TXC_LOG_ERROR, "txlib: scanfile: cannot find the size of file <%s>", name);
      return s.fail(TXC_ERR_BADFILE);
    }
    if (size > kMaxDataLength) {
      txc_log_message(TXC_LOG_ERROR,
                      "txlib: scanfile: file <%s> is too big (%lld bytes; the limit is %lld)", name,
                      static_cast<long long>(size), static_cast<long long>(kMaxDataLength));
      return s.fail(TXC_ERR_BADFILE);
    }
    data_len = static_cast<uint32_t>(size);
  }
  if (writeInt(s.ipc, TXC_CMD_SCAN) != TXC_OK || writeInt(s.ipc, flags) != TXC_OK ||
      !write_name(s.ipc, name, name_len) ||
      writeInt(s.ipc, static_cast<int32_t>(data_len)) != TXC_OK) {
    return s.fail(TXC_ERR_TRANSPORT);
  }
  unsigned char piece[kPiece];
  for (uint32_t left = data_len; left > 0;) {
    uint32_t want = left < kPiece ? left : kPiece;
    ssize_t got = read(s.fd, piece, want);
    if (got != static_cast<ssize_t>(want)) return s.fail(TXC_ERR_BADFILE);
    if (writeBuf(s.ipc, piece, want) != TXC_OK) return s.fail(TXC_ERR_TRANSPORT);
    left -= want;
  }
  if (readResult(s.ipc, flags, name, result, report_size) != TXC_OK) {
    return s.fail(TXC_ERR_TRANSPORT);
  }
  if (s.fd >= 0) close(s.fd);
  return closeSession(s.ipc);
}

int txc_scan_file_part(const char *name, int name_len, int offset, int length, int flags,
                       txc_scanresult **result, int report_size) {
  if (result == nullptr) {
    txc_log_message(TXC_LOG_ERROR, "txlib: scanfilepart: bad parameters");
    return TXC_ERR_PARAM;
  }
  *result = nullptr;
  if (!txc_lib_started()) {
    txc_log_message(TXC_LOG_ERROR, "txlib: scanfilepart: library is not initialized");
    return TXC_ERR_NOTINIT;
  }
  if (!name_ok(name, name_len)) {
    txc_log_message(TXC_LOG_ERROR, "txlib: scanfilepart: bad parameters");
    return TXC_ERR_PARAM;
  }
  txc_ipc_t *ipc = openSession(1);
  if (ipc == nullptr) return TXC_ERR_TRANSPORT;
  bool ok = true;
  if (!is_localscan_allowed_by_ipc(ipc)) {
    // Only the primary daemon shares our file system.
    txc_log_message(TXC_LOG_ERROR, "txlib: scanfilepart: cannot create session with local tavrixd");
    ok = false;
  }
  ok = ok && writeInt(ipc, TXC_CMD_SCAN_PART) == TXC_OK && writeInt(ipc, offset) == TXC_OK &&
       writeInt(ipc, length) == TXC_OK && writeInt(ipc, flags) == TXC_OK &&
       write_name(ipc, name, name_len) &&
       readResult(ipc, flags, name, result, report_size) == TXC_OK;
  if (!ok) {
    txc_log_message(TXC_LOG_DETAIL, "txlib: scanfilepart: ipc-operation failed");
    closeSession(ipc);
    return TXC_ERR_TRANSPORT;
  }
  return closeSession(ipc);
}

int txc_scan_callback(txc_read_fn read_fn, void *user_data, const char *name, int name_len,
                      int total, int flags, txc_scanresult **result, int report_size) {
  if (result == nullptr) {
    txc_log_message(TXC_LOG_ERROR,
                    "txlib: scancallback: bad parameter pResult (null pointer passed)");
    return TXC_ERR_PARAM;
  }
  *result = nullptr;
  if (!txc_lib_started()) {
    txc_log_message(TXC_LOG_ERROR, "txlib: scancallback: library is not initialized");
    return TXC_ERR_NOTINIT;
  }
  if (read_fn == nullptr || (name == nullptr ? name_len != 0 : !name_ok(name, name_len))) {
    txc_log_message(TXC_LOG_ERROR,
                    "txlib: scancallback: bad parameters (no read function, or bad name length)");
    return TXC_ERR_PARAM;
  }
  auto *piece = static_cast<unsigned char *>(txc_malloc(kPiece));
  if (piece == nullptr) {
    txc_log_message(TXC_LOG_ERROR, "txlib: scancallback: no memory");
    return TXC_ERR_NOMEM;
  }
  txc_ipc_t *ipc = openSession(0);
  if (ipc == nullptr) {
    txc_free(piece);
    return TXC_ERR_TRANSPORT;
  }
  uint32_t want = static_cast<uint32_t>(total);
  bool ok = writeInt(ipc, TXC_CMD_SCAN) == TXC_OK && writeInt(ipc, flags) == TXC_OK &&
            write_name(ipc, name, name_len) && writeInt(ipc, total) == TXC_OK;
  for (uint32_t sent = 0; ok && sent < want;) {
    int n = read_fn(piece, kPiece, user_data);
    // A piece outside 1 .. what is still missing would never end the
    // loop or would put more on the wire than was announced.
    if (n <= 0 || n > kPiece || static_cast<uint32_t>(n) > want - sent) {
      txc_log_message(TXC_LOG_ERROR,
                      "txlib: scancallback: read function returned %d with %u of %u bytes still "
                      "to send",
                      n, want - sent, want);
      ok = false;
      break;
    }
    ok = writeBuf(ipc, piece, static_cast<uint32_t>(n)) == TXC_OK;
    sent += static_cast<uint32_t>(n);
  }
  txc_free(piece);
  ok = ok && readResult(ipc, flags, name, result, report_size) == TXC_OK;
  if (!ok) {
    txc_log_message(TXC_LOG_DETAIL, "txlib: scancallback: ipc-operation failed");
    closeSession(ipc);
    return TXC_ERR_TRANSPORT;
  }
  return closeSession(ipc);
}
