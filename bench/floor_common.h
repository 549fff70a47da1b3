/* Shared by the floor programs: connect to the sink and move whole buffers. */
#ifndef TXBENCH_FLOOR_COMMON_H_
#define TXBENCH_FLOOR_COMMON_H_

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

/* A UNIX-domain socket when path is given, else TCP 127.0.0.1:port; -1 on failure. */
static inline int floor_connect(const char *path, int port) {
  int fd;
  if (path != NULL) {
    struct sockaddr_un sa;
    memset(&sa, 0, sizeof sa);
    sa.sun_family = AF_UNIX;
    if (strlen(path) >= sizeof sa.sun_path) return -1;
    strcpy(sa.sun_path, path);
    fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    if (connect(fd, (struct sockaddr *)&sa, sizeof sa) != 0) {
      close(fd);
      return -1;
    }
    return fd;
  }
  struct sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_port = htons((uint16_t)port);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  if (connect(fd, (struct sockaddr *)&sa, sizeof sa) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

static inline int floor_send_all(int fd, const void *buf, size_t n) {
  const char *p = (const char *)buf;
  while (n > 0) {
    ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return 0;
    p += w;
    n -= (size_t)w;
  }
  return 1;
}

static inline int floor_recv_all(int fd, void *buf, size_t n) {
  char *p = (char *)buf;
  while (n > 0) {
    ssize_t r = recv(fd, p, n, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return 0;
    p += r;
    n -= (size_t)r;
  }
  return 1;
}

/* Appends a big-endian integer at *at. */
static inline void floor_put_int(char **at, int32_t v) {
  uint32_t be = htonl((uint32_t)v);
  memcpy(*at, &be, 4);
  *at += 4;
}

/* The scan request up to the data: command 1, flags 0, name, data length. */
static inline size_t floor_scan_header(char *out, const char *name, uint32_t data_len) {
  char *at = out;
  size_t n = strlen(name);
  floor_put_int(&at, 1);
  floor_put_int(&at, 0);
  floor_put_int(&at, (int32_t)n);
  memcpy(at, name, n);
  at += n;
  floor_put_int(&at, (int32_t)data_len);
  return (size_t)(at - out);
}

#endif
