/* The floor of a content scan: send a file to the sink in 4096-byte pieces,
 * one read and one send per piece, then read the 4-byte reply. With -t,
 * each send first waits in poll for the socket to take data and reads the
 * clock before and after, as a send with a time budget must.
 *
 *   txbench-floor-stream (-u PATH | -p PORT) [-t] FILE */
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/time.h>

#include "floor_common.h"

enum { kPiece = 4096 };

int main(int argc, char *argv[]) {
  const char *path = NULL;
  int port = 0, timed = 0, opt;
  while ((opt = getopt(argc, argv, "u:p:t")) != -1) {
    switch (opt) {
      case 'u':
        path = optarg;
        break;
      case 'p':
        port = atoi(optarg);
        break;
      case 't':
        timed = 1;
        break;
      default:
        return 2;
    }
  }
  if (optind != argc - 1 || (path == NULL && port <= 0)) {
    fputs("usage: txbench-floor-stream (-u PATH | -p PORT) [-t] FILE\n", stderr);
    return 2;
  }
  const char *file = argv[optind];
  int in = open(file, O_RDONLY);
  struct stat st;
  if (in < 0 || fstat(in, &st) != 0) return 1;
  int fd = floor_connect(path, port);
  if (fd < 0) return 1;
  char header[1024 + 16];
  if (!floor_send_all(fd, header, floor_scan_header(header, file, (uint32_t)st.st_size))) return 1;

  static char piece[kPiece];
  long long spent_us = 0; /* kept so the clock reads cannot be dropped */
  for (off_t left = st.st_size; left > 0;) {
    size_t want = left < kPiece ? (size_t)left : kPiece;
    if (read(in, piece, want) != (ssize_t)want) return 1;
    if (timed) {
      struct timeval t0, t1;
      struct pollfd p = {fd, POLLOUT, 0};
      gettimeofday(&t0, NULL);
      if (poll(&p, 1, 60000) != 1) return 1;
      if (!floor_send_all(fd, piece, want)) return 1;
      gettimeofday(&t1, NULL);
      spent_us += (t1.tv_sec - t0.tv_sec) * 1000000LL + (t1.tv_usec - t0.tv_usec);
    } else if (!floor_send_all(fd, piece, want)) {
      return 1;
    }
    left -= (off_t)want;
  }
  uint32_t reply;
  if (!floor_recv_all(fd, &reply, 4)) return 1;
  close(fd);
  close(in);
  return spent_us < 0 ? 1 : 0;
}
