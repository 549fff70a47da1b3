// UNIX-domain stream sockets named by a file-system path.
#define TXC_MODULE "txc_unix"

#include "ipc/txc_unix.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "ipc/txc_fd.h"
#include "txc_log.h"

namespace {
// 103 characters and the terminator: the room every platform's address has.
constexpr size_t kPathRoom =
    sizeof(sockaddr_un::sun_path) < 104 ? sizeof(sockaddr_un::sun_path) : 104;
}  // namespace

int init_unix_system() { return 0; }

int deinit_unix_system() { return 0; }

int fill_unix_addr(const char *path, struct sockaddr_un *addr) {
  memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  strncpy(addr->sun_path, path, kPathRoom);
  addr->sun_path[kPathRoom - 1] = '\0';
  return 1;
}

int create_unix_socket(int *sock, int nonblocking) {
  TXC_ASSERT(sock);
  *sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (*sock == -1) {
    const int err = errno;
    txc_log_message(TXC_LOG_ERROR, "txlib: unix: socket() failed - %s", stdlib_error(err));
    return -11;
  }
  if (nonblocking) {
    const int flags = fcntl(*sock, F_GETFL, 0);
    if (flags == -1 || fcntl(*sock, F_SETFL, flags | O_NONBLOCK) == -1) {
      txc_log_message(TXC_LOG_ERROR, "txlib: unix: cannot set nonblocking mode");
      close(*sock);
      *sock = -1;
      return -11;
    }
  }
  return 0;
}

int bind_unix_socket(int fd, const struct sockaddr_un *addr) {
  return bind_fd(fd, reinterpret_cast<const struct sockaddr *>(addr), sizeof *addr);
}

int listen_unix_socket(int fd, int backlog) { return listen_fd(fd, backlog); }

int accept_unix_socket(int fd, struct sockaddr_un *peer, int *newfd) {
  socklen_t len = sizeof *peer;
  const int rc = accept_fd(fd, reinterpret_cast<struct sockaddr *>(peer), &len, newfd);
  if (rc != 0) *newfd = -1;
  return rc;
}

int connect_unix_socket(int fd, const struct sockaddr_un *addr, txc_timeout_t timeout) {
  const int rc =
      connect_fd(fd, reinterpret_cast<const struct sockaddr *>(addr), sizeof *addr, timeout);
  if (rc != 0)
    txc_log_message(TXC_LOG_ERROR, "txlib: unix: connect() to %s failed", addr->sun_path);
  return rc;
}

int send_unix_socket(int *sock, const void *buf, size_t *len, txc_timeout_t timeout) {
  return send_fd(*sock, buf, len, timeout);
}

int recv_unix_socket(int *sock, void *buf, size_t *len, txc_timeout_t timeout) {
  return recv_fd(*sock, buf, len, timeout);
}

int shutdown_unix_socket(int *sock, const struct sockaddr_un *local, int remove_file) {
  int err = 0;
  if (shutdown(*sock, SHUT_RDWR) != 0) err = errno;
  if (remove_file && local != nullptr && unlink(local->sun_path) != 0 && err == 0) err = errno;
  *sock = -1;
  if (err != 0) {
    txc_log_message(TXC_LOG_ERROR, "txlib: unix: shutdown() failed - %s", stdlib_error(err));
    return -11;
  }
  return 0;
}

int close_unix_socket(int *sock, const struct sockaddr_un *local, int remove_file) {
  if (*sock == -1) {
    txc_log_message(TXC_LOG_DETAIL, "txlib: unix: close() failed - closed socket");
    return 0;
  }
  int err = 0;
  if (close(*sock) != 0) err = errno;
  // The file goes even when close failed: the socket is gone either way.
  if (remove_file && local != nullptr && unlink(local->sun_path) != 0 && err == 0) err = errno;
  *sock = -1;
  if (err != 0) {
    txc_log_message(TXC_LOG_ERROR, "txlib: unix: close() failed - %s", stdlib_error(err));
    return -11;
  }
  return 0;
}
