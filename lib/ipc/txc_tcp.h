// TCP stream sockets over IPv4, with the host-name resolver lock.
#ifndef TXLIB_IPC_TXC_TCP_H_
#define TXLIB_IPC_TXC_TCP_H_

#include <netinet/in.h>

#include <cstddef>

#include "ipc/txc_timo.h"

int init_tcp_system();
int deinit_tcp_system();
// 1 on success, 0 on failure.
int fill_tcp_addr(const char *host, const char *port, struct sockaddr_in *naddr, int resolve);
// 0, -6 empty name, -7 not found, -11 lock failure.
int resolve_host(struct sockaddr_in *naddr, const char *name);
int create_tcp_socket(int *sock, int nonblocking);
int bind_tcp_socket(int fd, const struct sockaddr_in *addr);
int listen_tcp_socket(int fd, int backlog);
int accept_tcp_socket(int fd, struct sockaddr_in *peer, int *newfd);
int connect_tcp_socket(int fd, const struct sockaddr_in *addr, txc_timeout_t timeout);
int send_tcp_socket(int *sock, const void *buf, size_t *len, txc_timeout_t timeout);
int recv_tcp_socket(int *sock, void *buf, size_t *len, txc_timeout_t timeout);
int shutdown_tcp_socket(int *sock);
int close_tcp_socket(int *sock);

#endif  // TXLIB_IPC_TXC_TCP_H_
