// UNIX-domain stream sockets named by a path.
#ifndef TXLIB_IPC_TXC_UNIX_H_
#define TXLIB_IPC_TXC_UNIX_H_

#include <sys/un.h>

#include <cstddef>

#include "ipc/txc_timo.h"

int init_unix_system();
int deinit_unix_system();
// Always 1; the path keeps at most 103 characters and is always terminated.
int fill_unix_addr(const char *path, struct sockaddr_un *addr);
int create_unix_socket(int *sock, int nonblocking);
int bind_unix_socket(int fd, const struct sockaddr_un *addr);
int listen_unix_socket(int fd, int backlog);
int accept_unix_socket(int fd, struct sockaddr_un *peer, int *newfd);
int connect_unix_socket(int fd, const struct sockaddr_un *addr, txc_timeout_t timeout);
int send_unix_socket(int *sock, const void *buf, size_t *len, txc_timeout_t timeout);
int recv_unix_socket(int *sock, void *buf, size_t *len, txc_timeout_t timeout);
int shutdown_unix_socket(int *sock, const struct sockaddr_un *local, int remove_file);
int close_unix_socket(int *sock, const struct sockaddr_un *local, int remove_file);

#endif  // TXLIB_IPC_TXC_UNIX_H_
