// Operations on one socket descriptor, with poll waits bounded by a timeout.
// Results are IPC result codes: 0, -11 (system call failed or peer closed),
// -13 (timeout expired).
#ifndef TXLIB_IPC_TXC_FD_H_
#define TXLIB_IPC_TXC_FD_H_

#include <sys/socket.h>

#include <cstddef>

#include "ipc/txc_timo.h"

int wait_for_send(int fd, txc_timeout_t timeout);
int wait_for_recv(int fd, txc_timeout_t timeout);
int connect_fd(int fd, const struct sockaddr *addr, socklen_t addrlen, txc_timeout_t timeout);
// One transfer each; *len: in bytes asked, out bytes moved.
int send_fd(int fd, const void *buf, size_t *len, txc_timeout_t timeout);
int recv_fd(int fd, void *buf, size_t *len, txc_timeout_t timeout);
int bind_fd(int fd, const struct sockaddr *addr, socklen_t addrlen);
int listen_fd(int fd, int backlog);
int accept_fd(int fd, struct sockaddr *addr, socklen_t *addrlen, int *newfd);

#endif  // TXLIB_IPC_TXC_FD_H_
