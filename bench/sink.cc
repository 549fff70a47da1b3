// txbench-sink: a daemon that answers every request at once and throws the
// scanned content away, so that benchmarks measure the client and not the
// scanner. One connection after another, one request per connection.
//
//   txbench-sink -u PATH      listen on a UNIX-domain socket
//   txbench-sink -p PORT      listen on TCP 127.0.0.1:PORT (0: any free port)
//
// Both may be given; the sink then serves both sockets. Once it listens it
// prints "ready" and, with TCP, the port, and runs until SIGTERM or SIGINT.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kVersionAnswer = 429;  // 4.29
constexpr char kIdString[] = "txbench sink";
constexpr size_t kDiscard = 1 << 18;

volatile sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }

// A connection with a read buffer: one recv usually brings a whole request
// header, so the sink costs few system calls per request.
struct Conn {
  int fd;
  char *buf;  // kDiscard bytes
  size_t pos = 0, len = 0;

  bool fill() {
    for (;;) {
      ssize_t r = recv(fd, buf, kDiscard, 0);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) return false;
      pos = 0;
      len = static_cast<size_t>(r);
      return true;
    }
  }
  // Reads exactly n bytes; false when the peer closed or failed.
  bool read_exact(void *out, size_t n) {
    char *p = static_cast<char *>(out);
    while (n > 0) {
      if (pos == len && !fill()) return false;
      size_t take = len - pos < n ? len - pos : n;
      memcpy(p, buf + pos, take);
      pos += take;
      p += take;
      n -= take;
    }
    return true;
  }
  bool read_int(int32_t *v) {
    uint32_t be;
    if (!read_exact(&be, 4)) return false;
    *v = static_cast<int32_t>(ntohl(be));
    return true;
  }
  // Reads and drops n bytes.
  bool discard(uint64_t n) {
    while (n > 0) {
      if (pos == len && !fill()) return false;
      size_t take = len - pos < n ? len - pos : static_cast<size_t>(n);
      pos += take;
      n -= take;
    }
    return true;
  }
};

// The answer goes out in one send: the client reads it field by field.
struct Answer {
  char bytes[64];
  size_t used = 0;
  void add(int32_t v) {
    uint32_t be = htonl(static_cast<uint32_t>(v));
    memcpy(bytes + used, &be, 4);
    used += 4;
  }
  void add_text(const char *s) {
    size_t n = strlen(s);
    add(static_cast<int32_t>(n));
    memcpy(bytes + used, s, n);
    used += n;
  }
  bool send_to(int fd) const {
    size_t off = 0;
    while (off < used) {
      ssize_t w = send(fd, bytes + off, used - off, MSG_NOSIGNAL);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) return false;
      off += static_cast<size_t>(w);
    }
    return true;
  }
};

// A clean answer: status 0 and empty optional items, as the flags ask.
void add_scan_answer(Answer *a, int32_t flags) {
  a->add(0);
  if (flags & 0x1) a->add(0);  // virus names
  if (flags & 0x2) a->add(0);  // report lines
  if (flags & 0x4) a->add(0);  // statistics
}

bool read_name(Conn *c) {
  int32_t len;
  if (!c->read_int(&len) || len < 0) return false;
  return c->discard(static_cast<uint32_t>(len));
}

void serve(int fd, char *scratch) {
  Conn conn{fd, scratch};
  Conn *c = &conn;
  int32_t cmd;
  if (!c->read_int(&cmd)) return;
  Answer a;
  switch (cmd) {
    case 1: {  // scan: flags, name, data length, data
      int32_t flags, dlen;
      if (!c->read_int(&flags) || !read_name(c) || !c->read_int(&dlen)) return;
      if (!c->discard(static_cast<uint32_t>(dlen))) return;
      add_scan_answer(&a, flags);
      break;
    }
    case 2:
      a.add(kVersionAnswer);
      break;
    case 3:
      a.add(0);
      break;
    case 4:
      a.add_text(kIdString);
      break;
    case 5: {  // scan part: offset, length, flags, name
      int32_t offset, length, flags;
      if (!c->read_int(&offset) || !c->read_int(&length) || !c->read_int(&flags) || !read_name(c))
        return;
      add_scan_answer(&a, flags);
      break;
    }
    default:
      return;
  }
  a.send_to(fd);
}

int listen_unix(const char *path) {
  sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  if (strlen(path) >= sizeof sa.sun_path) {
    fprintf(stderr, "txbench-sink: socket path too long\n");
    return -1;
  }
  strcpy(sa.sun_path, path);
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  unlink(path);
  if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || listen(fd, 512) != 0) {
    perror("txbench-sink: unix socket");
    close(fd);
    return -1;
  }
  return fd;
}

int listen_tcp(int port, int *bound_port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || listen(fd, 512) != 0) {
    perror("txbench-sink: tcp socket");
    close(fd);
    return -1;
  }
  socklen_t len = sizeof sa;
  getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
  *bound_port = ntohs(sa.sin_port);
  return fd;
}

}  // namespace

int main(int argc, char *argv[]) {
  const char *path = nullptr;
  int port = -1;
  int opt;
  while ((opt = getopt(argc, argv, "u:p:")) != -1) {
    if (opt == 'u') {
      path = optarg;
    } else if (opt == 'p') {
      port = atoi(optarg);
    } else {
      fprintf(stderr, "usage: txbench-sink [-u PATH] [-p PORT]\n");
      return 2;
    }
  }
  if ((path == nullptr && port < 0) || port > 65535) {
    fprintf(stderr, "usage: txbench-sink [-u PATH] [-p PORT]\n");
    return 2;
  }
  struct sigaction sa {};
  sa.sa_handler = on_signal;  // no SA_RESTART: poll must return on a signal
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  pollfd fds[2];
  int nfds = 0;
  if (path != nullptr) {
    fds[nfds].fd = listen_unix(path);
    if (fds[nfds++].fd < 0) return 1;
  }
  int bound_port = 0;
  if (port >= 0) {
    fds[nfds].fd = listen_tcp(port, &bound_port);
    if (fds[nfds++].fd < 0) return 1;
  }
  for (int i = 0; i < nfds; ++i) fds[i].events = POLLIN;
  char *scratch = static_cast<char *>(malloc(kDiscard));
  if (scratch == nullptr) return 1;
  if (port >= 0) {
    printf("ready %d\n", bound_port);
  } else {
    printf("ready\n");
  }
  fflush(stdout);

  while (!g_stop) {
    if (poll(fds, static_cast<nfds_t>(nfds), -1) < 0) {
      if (errno == EINTR) continue;
      perror("txbench-sink: poll");
      break;
    }
    for (int i = 0; i < nfds; ++i) {
      if (!(fds[i].revents & POLLIN)) continue;
      int c = accept(fds[i].fd, nullptr, nullptr);
      if (c < 0) continue;
      serve(c, scratch);
      close(c);
    }
  }
  for (int i = 0; i < nfds; ++i) close(fds[i].fd);
  if (path != nullptr) unlink(path);
  free(scratch);
  return 0;
}
