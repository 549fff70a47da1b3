#include "standin_serve.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "txc_lib_internal.h"
#include "txc_log.h"

namespace standin {

namespace {

enum : int32_t {
  kCmdScan = 1,
  kCmdVersion = 2,
  kCmdBases = 3,
  kCmdIdString = 4,
  kCmdScanPart = 5,
};

enum : uint32_t {
  kReturnViruses = 0x1,
  kReturnReport = 0x2,
  kReturnCodes = 0x4,
};

enum : uint32_t {
  kStatusReadError = 0x1,
  kStatusVirus = 0x20,
  kStatusNoRegularFile = 0x800,
  kStatusInvalidCall = 0x8000,
};

// Content goes through the matcher in pieces of this size.
constexpr size_t kChunk = 64 * 1024;

const char *status_text(uint32_t status) {
  switch (status) {
    case 0x0:
      return "ok";
    case 0x1:
      return "read error";
    case 0x2:
      return "write error";
    case 0x4:
      return "no memory for operation";
    case 0x8:
      return "CRC error";
    case 0x10:
      return "socket error";
    case 0x20:
      return "known virus is found";
    case 0x40:
      return "possible unknown virus is found";
    case 0x80:
      return "virus modification is found";
    case 0x100:
      return "object is cured";
    case 0x200:
      return "operation timed out";
    case 0x400:
      return "symlink is found";
    case 0x800:
      return "no regular file is found";
    case 0x1000:
      return "skipped object";
    case 0x2000:
      return "too big file after extraction";
    case 0x4000:
      return "too high compression ratio";
    case 0x8000:
      return "invalid call";
    case 0x20000:
      return "rejected by rule filter";
    case 0x40000:
      return "archive recursion level exceeded";
    default:
      return nullptr;
  }
}

// Writes the answer through the wire primitives, stopping for good after
// close_after bytes (a fault mode: the client sees a daemon that dies in
// the middle of its answer).
class Answer {
 public:
  Answer(txc_ipc_t *channel, int64_t limit) : ch_(channel), limit_(limit) {}

  bool put_int(int32_t value) {
    if (!room(4)) {
      uint8_t be[4] = {static_cast<uint8_t>(static_cast<uint32_t>(value) >> 24),
                       static_cast<uint8_t>(static_cast<uint32_t>(value) >> 16),
                       static_cast<uint8_t>(static_cast<uint32_t>(value) >> 8),
                       static_cast<uint8_t>(static_cast<uint32_t>(value))};
      return put_cut(be);
    }
    if (writeInt(ch_, value) != 0) return fail();
    sent_ += 4;
    return true;
  }

  bool put_bytes(const void *data, size_t size) {
    if (size == 0) return ok_;
    if (!room(size)) return put_cut(data);
    if (writeBuf(ch_, data, static_cast<uint32_t>(size)) != 0) return fail();
    sent_ += static_cast<int64_t>(size);
    return true;
  }

  bool put_string(const std::string &text) {
    return put_int(static_cast<int32_t>(text.size())) && put_bytes(text.data(), text.size());
  }

 private:
  bool room(size_t size) const {
    return limit_ < 0 || sent_ + static_cast<int64_t>(size) <= limit_;
  }

  // Sends what is left of the allowance from data, then nothing more.
  bool put_cut(const void *data) {
    if (!ok_) return false;
    int64_t left = limit_ - sent_;
    if (left > 0) writeBuf(ch_, data, static_cast<uint32_t>(left));
    sent_ = limit_;
    return fail();
  }

  bool fail() {
    ok_ = false;
    return false;
  }

  txc_ipc_t *ch_;
  int64_t limit_;
  int64_t sent_ = 0;
  bool ok_ = true;
};

// Waits up to ms milliseconds (-1: for ever) for stop_fd or, when conn_fd
// is given, for the peer to close. Returns false when the wait ended
// because the daemon is stopping or the peer went away.
bool wait_for(int stop_fd, int conn_fd, int ms) {
  struct timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    int left = -1;
    if (ms >= 0) {
      struct timespec now;
      clock_gettime(CLOCK_MONOTONIC, &now);
      int64_t spent = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
      if (spent >= ms) return true;
      left = static_cast<int>(ms - spent);
    }
    struct pollfd fds[2] = {{stop_fd, POLLIN, 0}, {conn_fd, POLLIN, 0}};
    int n = poll(fds, conn_fd >= 0 ? 2 : 1, left);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) continue;
    if (fds[0].revents != 0) return false;
    if (conn_fd >= 0 && fds[1].revents != 0) {
      // Anything the client still sends is dropped; its end of file (or a
      // broken connection) ends the wait.
      char scratch[4096];
      ssize_t got = read(conn_fd, scratch, sizeof scratch);
      if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) return false;
    }
  }
}

struct ScanOutcome {
  uint32_t status = 0;
  std::vector<std::string> viruses;
};

// Reads d bytes of content from the channel into the matcher.
bool scan_from_channel(txc_ipc_t *ch, uint32_t d, Matcher *matcher) {
  std::vector<uint8_t> buf(d < kChunk ? d : kChunk);
  uint32_t left = d;
  while (left > 0) {
    uint32_t n = left < kChunk ? left : static_cast<uint32_t>(kChunk);
    if (readOutput(ch, buf.data(), n) != 0) return false;
    matcher->feed(buf.data(), n);
    left -= n;
  }
  return true;
}

// Scans up to length bytes of a local file from offset on (length -1: to
// the end). Returns the status bits of the file access itself.
uint32_t scan_local(const std::string &path, int64_t offset, int64_t length, Matcher *matcher) {
  if (path.empty() || memchr(path.data(), '\0', path.size()) != nullptr) return kStatusInvalidCall;
  // Non-blocking open, so that a FIFO without a writer cannot stall us.
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    txc_log_message(TXC_LOG_DETAIL, "tavrixd-standin: cannot open %s - %s", path.c_str(),
                    strerror(errno));
    return kStatusReadError;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    close(fd);
    return kStatusReadError;
  }
  if (!S_ISREG(st.st_mode)) {
    close(fd);
    return kStatusNoRegularFile;
  }
  std::vector<uint8_t> buf(kChunk);
  uint32_t status = 0;
  int64_t pos = offset;
  int64_t left = length;
  while (left != 0) {
    size_t want = kChunk;
    if (left > 0 && static_cast<uint64_t>(left) < want) want = static_cast<size_t>(left);
    ssize_t got = pread(fd, buf.data(), want, static_cast<off_t>(pos));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      status |= kStatusReadError;
      break;
    }
    if (got == 0) break;  // a range past the end is scanned as far as the file goes
    matcher->feed(buf.data(), static_cast<size_t>(got));
    pos += got;
    if (left > 0) left -= got;
  }
  close(fd);
  return status;
}

bool read_name(txc_ipc_t *ch, std::string *name) {
  int32_t n = 0;
  if (readInt(ch, &n) != 0) return false;
  // A hostile length is refused before anything is allocated for it.
  if (n < 0 || n > kMaxNameLength) {
    txc_log_message(TXC_LOG_PROGRESS, "tavrixd-standin: name length %d refused, closing", n);
    return false;
  }
  char buf[kMaxNameLength];
  if (n > 0 && readOutput(ch, buf, static_cast<uint32_t>(n)) != 0) return false;
  name->assign(buf, static_cast<size_t>(n));
  return true;
}

void answer_scan(Answer *out, uint32_t flags, const std::string &object, ScanOutcome outcome) {
  if ((flags & kReturnViruses) != 0) {
    if (!out->put_int(static_cast<int32_t>(outcome.viruses.size()))) return;
    for (const std::string &v : outcome.viruses)
      if (!out->put_string(v)) return;
  }
  if ((flags & kReturnReport) != 0) {
    std::vector<std::string> lines;
    // Each line starts with the object's name as it was sent, which is
    // what the client looks for to shorten the line to the bare file name.
    for (const std::string &v : outcome.viruses)
      lines.push_back(object + "\tinfected: " + v + "\n");
    if (outcome.viruses.empty()) {
      const char *text = status_text(outcome.status);
      char fallback[32];
      if (text == nullptr) {
        snprintf(fallback, sizeof fallback, "status %#" PRIx32, outcome.status);
        text = fallback;
      }
      lines.push_back(object + "\t" + text + "\n");
    }
    if (!out->put_int(static_cast<int32_t>(lines.size()))) return;
    for (const std::string &l : lines)
      if (!out->put_string(l)) return;
  }
  if ((flags & kReturnCodes) != 0) {
    // One object was scanned: one pair of its status and a count of 1.
    if (!out->put_int(1) || !out->put_int(static_cast<int32_t>(outcome.status))) return;
    out->put_int(1);
  }
}

}  // namespace

void serve_connection(txc_ipc_t *ch, const Config &config, const SignatureSet &signatures,
                      int stop_fd) {
  int32_t command = 0;
  if (readInt(ch, &command) != 0) return;

  bool is_scan = command == kCmdScan || command == kCmdScanPart;
  uint32_t flags = 0;
  std::string object;
  ScanOutcome outcome;
  if (command == kCmdScan) {
    int32_t f = 0;
    if (readInt(ch, &f) != 0) return;
    flags = static_cast<uint32_t>(f);
    if (!read_name(ch, &object)) return;
    int32_t d = 0;
    if (readInt(ch, &d) != 0) return;
    uint32_t data_length = static_cast<uint32_t>(d);
    Matcher matcher(signatures);
    if (data_length > 0) {
      // Content is streamed through the matcher, never held whole.
      if (!scan_from_channel(ch, data_length, &matcher)) return;
    } else if (!object.empty()) {
      outcome.status |= scan_local(object, 0, -1, &matcher);
    }
    outcome.viruses = matcher.found();
  } else if (command == kCmdScanPart) {
    int32_t offset = 0, length = 0, f = 0;
    if (readInt(ch, &offset) != 0 || readInt(ch, &length) != 0 || readInt(ch, &f) != 0) return;
    flags = static_cast<uint32_t>(f);
    if (!read_name(ch, &object)) return;
    Matcher matcher(signatures);
    if (object.empty() || offset < 0 || length < 0) {
      outcome.status |= kStatusInvalidCall;
    } else if (length > 0) {
      outcome.status |= scan_local(object, offset, length, &matcher);
    }
    outcome.viruses = matcher.found();
  } else if (command != kCmdVersion && command != kCmdBases && command != kCmdIdString) {
    txc_log_message(TXC_LOG_PROGRESS, "tavrixd-standin: unknown command %d, closing", command);
    return;
  }

  if (is_scan) {
    if (!outcome.viruses.empty()) outcome.status |= kStatusVirus;
    if (config.status_override) outcome.status = config.status;
    if (object.empty()) object = "[MemoryBuffer]";
    txc_log_message(TXC_LOG_DETAIL, "tavrixd-standin: %s: status %#x", object.c_str(),
                    outcome.status);
  }

  if (config.hang) {
    wait_for(stop_fd, ch->fd, -1);
    return;
  }
  if (config.delay_ms > 0 && !wait_for(stop_fd, -1, config.delay_ms)) return;

  Answer out(ch, config.close_after);
  switch (command) {
    case kCmdVersion:
      out.put_int(config.version);
      break;
    case kCmdIdString:
      out.put_string(config.id);
      break;
    case kCmdBases:
      if (config.bases.empty()) {
        if (out.put_int(1) && out.put_string("standin.avb"))
          out.put_int(static_cast<int32_t>(signatures.signatures().size()));
      } else {
        if (!out.put_int(static_cast<int32_t>(config.bases.size()))) break;
        for (const auto &base : config.bases)
          if (!out.put_string(base.first) || !out.put_int(base.second)) break;
      }
      break;
    default:
      out.put_int(static_cast<int32_t>(outcome.status));
      answer_scan(&out, flags, object, outcome);
      break;
  }
}

}  // namespace standin
