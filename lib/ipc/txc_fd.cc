// Operations on one socket descriptor. Connect, send and receive wait with
// poll within a timeout; interrupted calls are retried.
#define TXC_MODULE "txc_fd"

#include "ipc/txc_fd.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

#include "txc_log.h"

namespace {

#ifdef MSG_NOSIGNAL
// A peer that went away must give an error, not end the process, even for
// a caller that has not ignored SIGPIPE.
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;
#endif

struct wait_texts {
  short events;
  const char *expired;
  const char *interrupted;
  const char *failed;
  const char *mask;
};

constexpr wait_texts kSendWait = {
    POLLOUT,
    "txlib: fd: wait for send failed - timeout expired",
    "txlib: fd: wait for send was interrupted - go again",
    "txlib: fd: wait for send failed - %s",
    "txlib: fd: wait for send failed - poll return %#x event mask",
};

constexpr wait_texts kRecvWait = {
    POLLIN,
    "txlib: fd: wait for recv failed - timeout expired",
    "txlib: fd: wait for recv was interrupted - go again",
    "txlib: fd: wait for recv failed - %s",
    "txlib: fd: wait for recv failed - poll return %#x event mask",
};

int wait_for(int fd, txc_timeout_t timeout, const wait_texts &t) {
  // A used-up budget (or any other negative value but "no limit") must not
  // reach poll, where it would mean waiting for ever.
  if (timeout < 0 && timeout != TXC_TIMEOUT_INFINITE) {
    txc_log_message(TXC_LOG_ERROR, "%s", t.expired);
    return -13;
  }
  for (;;) {
    struct pollfd pfd;
    pfd.fd = fd;
    pfd.events = t.events;
    pfd.revents = 0;
    const int rc = poll(&pfd, 1, timeout);
    if (rc == 0) {
      txc_log_message(TXC_LOG_ERROR, "%s", t.expired);
      return -13;
    }
    if (rc < 0) {
      const int err = errno;
      if (err == EINTR) {
        txc_log_message(TXC_LOG_PROGRESS, "%s", t.interrupted);
        continue;
      }
      txc_log_message(TXC_LOG_ERROR, t.failed, stdlib_error(err));
      return -11;
    }
    if (pfd.revents & t.events) return 0;
    txc_log_message(TXC_LOG_ERROR, t.mask, static_cast<unsigned>(pfd.revents));
    return -11;
  }
}

}  // namespace

int wait_for_send(int fd, txc_timeout_t timeout) { return wait_for(fd, timeout, kSendWait); }

int wait_for_recv(int fd, txc_timeout_t timeout) { return wait_for(fd, timeout, kRecvWait); }

int connect_fd(int fd, const struct sockaddr *addr, socklen_t addrlen, txc_timeout_t timeout) {
  if (connect(fd, addr, addrlen) == 0) return 0;
  int err = errno;
  int code = -11;
  if (err == EINPROGRESS) {
    code = wait_for_send(fd, timeout);
    if (code == 0) {
      // Writable only says the attempt ended; a refused connection is
      // writable too, so ask the socket how it ended.
      int soerr = 0;
      socklen_t len = sizeof soerr;
      if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &soerr, &len) != 0) {
        soerr = errno;
      }
      if (soerr == 0) return 0;
      err = soerr;
      code = -11;
    } else {
      err = errno;
    }
  }
  txc_log_message(TXC_LOG_ERROR, "txlib: fd: connect() failed - %s", stdlib_error(err));
  return code;
}

int send_fd(int fd, const void *buf, size_t *len, txc_timeout_t timeout) {
  if (timeout != TXC_TIMEOUT_INFINITE) {
    const int rc = wait_for_send(fd, timeout);
    if (rc != 0) return rc;
  }
  for (;;) {
    const ssize_t n = send(fd, buf, *len, kSendFlags);
    if (n >= 0) {
      *len = static_cast<size_t>(n);
      return 0;
    }
    const int err = errno;
    if (err == EAGAIN || err == EWOULDBLOCK) {
      const int rc = wait_for_send(fd, timeout);
      if (rc != 0) return rc;
      continue;
    }
    if (err == EINTR) {
      txc_log_message(TXC_LOG_PROGRESS, "txlib: fd: send() was interrupted - go again");
      continue;
    }
    *len = 0;
    txc_log_message(TXC_LOG_ERROR, "txlib: fd: send() failed - %s", stdlib_error(err));
    return -11;
  }
}

int recv_fd(int fd, void *buf, size_t *len, txc_timeout_t timeout) {
  if (timeout != TXC_TIMEOUT_INFINITE) {
    const int rc = wait_for_recv(fd, timeout);
    if (rc != 0) return rc;
  }
  const size_t req = *len;
  for (;;) {
    const ssize_t n = recv(fd, buf, req, 0);
    if (n > 0) {
      if (static_cast<size_t>(n) != req) {
        txc_log_message(TXC_LOG_DETAIL, "txlib: fd: recv() req=%d, readed=%d",
                        static_cast<int>(req), static_cast<int>(n));
      }
      *len = static_cast<size_t>(n);
      return 0;
    }
    if (n == 0) {
      txc_log_message(TXC_LOG_ERROR,
                      "txlib: fd: recv() req=%d failed - connection closed by remote side",
                      static_cast<int>(req));
      *len = 0;
      return -11;
    }
    const int err = errno;
    if (err == EAGAIN || err == EWOULDBLOCK) {
      const int rc = wait_for_recv(fd, timeout);
      if (rc != 0) return rc;
      continue;
    }
    if (err == EINTR) {
      txc_log_message(TXC_LOG_PROGRESS, "txlib: fd: recv() was interrupted - go again");
      continue;
    }
    *len = 0;
    txc_log_message(TXC_LOG_ERROR, "txlib: fd: recv() failed - %s", stdlib_error(err));
    return -11;
  }
}

int bind_fd(int fd, const struct sockaddr *addr, socklen_t addrlen) {
  if (bind(fd, addr, addrlen) != 0) {
    const int err = errno;
    txc_log_message(TXC_LOG_ERROR, "txlib: fd: bind() failed - %s", stdlib_error(err));
    return -11;
  }
  return 0;
}

int listen_fd(int fd, int backlog) {
  if (listen(fd, backlog) != 0) {
    const int err = errno;
    txc_log_message(TXC_LOG_ERROR, "txlib: fd: listen() failed - %s", stdlib_error(err));
    return -11;
  }
  return 0;
}

int accept_fd(int fd, struct sockaddr *addr, socklen_t *addrlen, int *newfd) {
  const socklen_t room = (addrlen != nullptr) ? *addrlen : 0;
  for (;;) {
#ifdef SOCK_CLOEXEC
    *newfd = accept4(fd, addr, addrlen, SOCK_CLOEXEC);
#else
    *newfd = accept(fd, addr, addrlen);
#endif
    if (*newfd >= 0) return 0;
    const int err = errno;
    if (err == EINTR) {
      // A server's signal must not look like a broken listener.
      txc_log_message(TXC_LOG_PROGRESS, "txlib: fd: accept() was interrupted - go again");
      if (addrlen != nullptr) *addrlen = room;
      continue;
    }
    *newfd = -1;
    txc_log_message(TXC_LOG_ERROR, "txlib: fd: accept() failed - %s", stdlib_error(err));
    return -11;
  }
}
