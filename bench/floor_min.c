/* The floor of a per-invocation client: connect, send one request in one
 * piece, read the 4-byte reply, exit. Nothing else.
 *
 *   txbench-floor-min (-u PATH | -p PORT) -v          version query
 *   txbench-floor-min (-u PATH | -p PORT) -f FILE     scan FILE by content (small files)
 *   txbench-floor-min (-u PATH | -p PORT) -x FILE     scan FILE by name
 *
 * Exits 0 when the reply came, 1 otherwise. */
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>

#include "floor_common.h"

int main(int argc, char *argv[]) {
  const char *path = NULL, *file = NULL;
  int port = 0, mode = 0, opt;
  while ((opt = getopt(argc, argv, "u:p:vf:x:")) != -1) {
    switch (opt) {
      case 'u':
        path = optarg;
        break;
      case 'p':
        port = atoi(optarg);
        break;
      case 'v':
        mode = 'v';
        break;
      case 'f':
        mode = 'f';
        file = optarg;
        break;
      case 'x':
        mode = 'x';
        file = optarg;
        break;
      default:
        return 2;
    }
  }
  if (mode == 0 || (path == NULL && port <= 0)) {
    fputs("usage: txbench-floor-min (-u PATH | -p PORT) (-v | -f FILE | -x FILE)\n", stderr);
    return 2;
  }
  static char req[1024 + 16 + 65536];
  size_t len;
  if (mode == 'v') {
    char *at = req;
    floor_put_int(&at, 2);
    len = 4;
  } else if (mode == 'x') {
    len = floor_scan_header(req, file, 0);
  } else {
    int in = open(file, O_RDONLY);
    struct stat st;
    if (in < 0 || fstat(in, &st) != 0 || st.st_size > 65536) return 1;
    len = floor_scan_header(req, file, (uint32_t)st.st_size);
    if (read(in, req + len, (size_t)st.st_size) != st.st_size) return 1;
    len += (size_t)st.st_size;
    close(in);
  }
  int fd = floor_connect(path, port);
  if (fd < 0) return 1;
  uint32_t reply;
  if (!floor_send_all(fd, req, len) || !floor_recv_all(fd, &reply, 4)) return 1;
  close(fd);
  return 0;
}
