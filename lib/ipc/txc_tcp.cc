// TCP stream sockets over IPv4, and the host and service look-ups, which
// run under the resolver lock.
#define TXC_MODULE "txc_tcp"

#include "ipc/txc_tcp.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "ipc/txc_fd.h"
#include "txc_log.h"

namespace {

txc_mutex_t g_resolver_lock = 0;

// Scratch room for the reentrant look-ups; the answers are copied out
// before the function returns.
constexpr size_t kLookupBuf = 8192;

// Reads the port text the way "%u" does: leading blanks, an optional sign,
// digits up to the first non-digit. Returns false when no digit follows.
bool read_port_number(const char *text, int32_t *value) {
  const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
  while (isspace(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = (*p == '-');
    ++p;
  }
  if (!isdigit(*p)) return false;
  uint64_t v = 0;
  for (; isdigit(*p); ++p) {
    if (v <= 0xFFFFFFFFull) v = v * 10 + static_cast<uint64_t>(*p - '0');
  }
  // Out-of-range numbers saturate, and a sign wraps as in unsigned
  // arithmetic; either way the result is refused below as negative.
  uint32_t u = (v > 0xFFFFFFFFull) ? 0xFFFFFFFFu : static_cast<uint32_t>(v);
  if (negative) u = 0u - u;
  *value = static_cast<int32_t>(u);
  return true;
}

// Port of a tcp service in host byte order, -1 when unknown, -2 when the
// lock failed.
int32_t service_port(const char *name) {
  if (!mutex_lock(g_resolver_lock)) return -2;
  int32_t port = -1;
  struct servent entry;
  struct servent *found = nullptr;
  char buf[kLookupBuf];
  if (getservbyname_r(name, "tcp", &entry, buf, sizeof buf, &found) == 0 && found != nullptr) {
    port = ntohs(static_cast<uint16_t>(found->s_port));
  }
  if (!mutex_unlock(g_resolver_lock)) return -2;
  return port;
}

}  // namespace

int init_tcp_system() {
  g_resolver_lock = mutex_create("Tavrix::Resolver");
  if (g_resolver_lock == 0) return -10;
  return 0;
}

int deinit_tcp_system() {
  bool ok = true;
  if (mutex_lock(g_resolver_lock)) {
    if (!mutex_unlock(g_resolver_lock)) ok = false;
  } else {
    ok = false;
  }
  if (mutex_destroy(g_resolver_lock) != 0) ok = false;
  g_resolver_lock = 0;
  if (!ok) {
    txc_log_message(TXC_LOG_PROGRESS, "txlib: tcp: some errors during deinit tcp system");
    return -11;
  }
  return 0;
}

int fill_tcp_addr(const char *host, const char *port, struct sockaddr_in *naddr, int resolve) {
  TXC_ASSERT(host);
  TXC_ASSERT(port);
  TXC_ASSERT(naddr);
  memset(naddr, 0, sizeof *naddr);
  if (resolve && resolve_host(naddr, host) != 0) {
    txc_log_message(TXC_LOG_ERROR, "txlib: tcp: cannot resolve %s hostname", host);
    return 0;
  }
  int32_t value = -1;
  if (!read_port_number(port, &value)) {
    value = service_port(port);
    if (value == -2) return 0;
  }
  // Only 16 bits reach the socket address: a larger number would silently
  // name some other port.
  if (value < 0 || value > 65535) {
    txc_log_message(TXC_LOG_ERROR, "txlib: tcp: invalid port specified");
    return 0;
  }
  naddr->sin_family = AF_INET;
  naddr->sin_port = htons(static_cast<uint16_t>(value));
  return 1;
}

int resolve_host(struct sockaddr_in *naddr, const char *name) {
  if (name == nullptr || name[0] == '\0') {
    txc_log_message(TXC_LOG_ERROR, "txlib: tcp: empty name passed to resolver");
    return -6;
  }
  struct in_addr numeric;
  if (inet_aton(name, &numeric) != 0) {
    naddr->sin_addr = numeric;
    return 0;
  }
  if (!mutex_lock(g_resolver_lock)) return -11;
  txc_log_message(TXC_LOG_DETAIL, "txlib: tcp: call resolver for %s", name);
  struct hostent entry;
  struct hostent *he = nullptr;
  int herr = 0;
  char buf[kLookupBuf];
  int code = -7;
  if (gethostbyname_r(name, &entry, buf, sizeof buf, &he, &herr) != 0 || he == nullptr) {
    txc_log_message(TXC_LOG_ERROR, "txlib: tcp: gethostbyname() error : %s", hstrerror(herr));
  } else if (he->h_addrtype == AF_INET && he->h_addr_list != nullptr &&
             he->h_addr_list[0] != nullptr && he->h_length == 4) {
    memcpy(&naddr->sin_addr, he->h_addr_list[0], 4);
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &naddr->sin_addr, text, sizeof text);
    txc_log_message(TXC_LOG_DETAIL, "txlib: tcp: resolver return %s", text);
    code = 0;
  } else {
    txc_log_message(TXC_LOG_ERROR, "txlib: tcp: resolver return corrupted address (%d:%p:%d)",
                    he->h_addrtype, static_cast<void *>(he->h_addr_list), he->h_length);
  }
  if (!mutex_unlock(g_resolver_lock)) return -11;
  return code;
}

int create_tcp_socket(int *sock, int nonblocking) {
  TXC_ASSERT(sock);
  *sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (*sock == -1) {
    const int err = errno;
    txc_log_message(TXC_LOG_ERROR, "txlib: tcp: creation failed - %s", stdlib_error(err));
    return -11;
  }
  if (nonblocking) {
    const int flags = fcntl(*sock, F_GETFL, 0);
    if (flags == -1 || fcntl(*sock, F_SETFL, flags | O_NONBLOCK) == -1) {
      const int err = errno;
      txc_log_message(TXC_LOG_ERROR, "txlib: tcp: switching to nonblocking mode failed - %s",
                      stdlib_error(err));
      close_tcp_socket(sock);
      return -11;
    }
  }
  return 0;
}

int bind_tcp_socket(int fd, const struct sockaddr_in *addr) {
  // A restarted server must be able to bind again while connections of its
  // previous run linger in TIME_WAIT.
  const int on = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
    const int err = errno;
    txc_log_message(TXC_LOG_PROGRESS, "txlib: tcp: setsockopt(SO_REUSEADDR) failed - %s",
                    stdlib_error(err));
  }
  return bind_fd(fd, reinterpret_cast<const struct sockaddr *>(addr), sizeof *addr);
}

int listen_tcp_socket(int fd, int backlog) { return listen_fd(fd, backlog); }

int accept_tcp_socket(int fd, struct sockaddr_in *peer, int *newfd) {
  socklen_t len = sizeof *peer;
  const int rc = accept_fd(fd, reinterpret_cast<struct sockaddr *>(peer), &len, newfd);
  if (rc != 0) *newfd = -1;
  return rc;
}

int connect_tcp_socket(int fd, const struct sockaddr_in *addr, txc_timeout_t timeout) {
  char text[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &addr->sin_addr, text, sizeof text);
  const int port = ntohs(addr->sin_port);
  txc_log_message(TXC_LOG_PROGRESS, "txlib: tcp: connecting to %s:%d ...", text, port);
  const int rc =
      connect_fd(fd, reinterpret_cast<const struct sockaddr *>(addr), sizeof *addr, timeout);
  if (rc != 0) {
    txc_log_message(TXC_LOG_ERROR, "txlib: tcp: connecting to %s:%d - failed", text, port);
  } else {
    txc_log_message(TXC_LOG_PROGRESS, "txlib: tcp: connecting to %s:%d - done", text, port);
  }
  return rc;
}

int send_tcp_socket(int *sock, const void *buf, size_t *len, txc_timeout_t timeout) {
  return send_fd(*sock, buf, len, timeout);
}

int recv_tcp_socket(int *sock, void *buf, size_t *len, txc_timeout_t timeout) {
  return recv_fd(*sock, buf, len, timeout);
}

int shutdown_tcp_socket(int *sock) {
  const int rc = shutdown(*sock, SHUT_RDWR);
  const int err = errno;
  *sock = -1;
  if (rc != 0) {
    txc_log_message(TXC_LOG_ERROR, "txlib: tcp: shutdown() failed - %s", stdlib_error(err));
    return -11;
  }
  return 0;
}

int close_tcp_socket(int *sock) {
  if (*sock == -1) {
    txc_log_message(TXC_LOG_DETAIL, "txlib: tcp: close() failed - closed socket");
    return 0;
  }
  const int rc = close(*sock);
  const int err = errno;
  *sock = -1;
  if (rc != 0) {
    txc_log_message(TXC_LOG_ERROR, "txlib: tcp: close() failed - %s", stdlib_error(err));
    return -11;
  }
  return 0;
}
