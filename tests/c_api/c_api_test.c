/*
 * The public API used from plain C against the shared library: start-up,
 * the three queries, the four scans and clean-up, served by a tiny
 * responder in a child process.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "txlib/txlib.h"

static int failures = 0;

#define CHECK(cond)                                                      \
  do {                                                                   \
    if (!(cond)) {                                                       \
      fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                        \
    }                                                                    \
  } while (0)

/* ---- the responder ---- */

static int read_full(int fd, void *buf, size_t n) {
  char *p = buf;
  while (n > 0) {
    ssize_t k = read(fd, p, n);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return 0;
    p += k;
    n -= (size_t)k;
  }
  return 1;
}

static int get_int(int fd, int32_t *v) {
  unsigned char b[4];
  if (!read_full(fd, b, 4)) return 0;
  *v = (int32_t)(((uint32_t)b[0] << 24) | ((uint32_t)b[1] << 16) | ((uint32_t)b[2] << 8) | b[3]);
  return 1;
}

static void put_int(int fd, int32_t v) {
  unsigned char b[4] = {(unsigned char)((uint32_t)v >> 24), (unsigned char)((uint32_t)v >> 16),
                        (unsigned char)((uint32_t)v >> 8), (unsigned char)v};
  (void)!write(fd, b, 4);
}

static void put_string(int fd, const char *s) {
  put_int(fd, (int32_t)strlen(s));
  (void)!write(fd, s, strlen(s));
}

/* Skips n bytes of the request; for a scan, the sum of the data bytes is
 * what the answer reports back as its record count. */
static int skip(int fd, uint32_t n, uint32_t *sum) {
  char buf[4096];
  while (n > 0) {
    uint32_t k = n < sizeof buf ? n : (uint32_t)sizeof buf;
    if (!read_full(fd, buf, k)) return 0;
    for (uint32_t i = 0; i < k; ++i) *sum += (unsigned char)buf[i];
    n -= k;
  }
  return 1;
}

static void scan_answer(int fd, int32_t flags, const char *name, uint32_t data_sum) {
  put_int(fd, 0x20);
  if (flags & TXC_RETURN_VIRUSES) {
    put_int(fd, 1);
    put_string(fd, "EICAR");
  }
  if (flags & TXC_RETURN_REPORT) {
    char line[1200];
    snprintf(line, sizeof line, "%s infected sum=%u\n", name, data_sum);
    put_int(fd, 1);
    put_string(fd, line);
  }
  if (flags & TXC_RETURN_CODES) {
    put_int(fd, 1);
    put_int(fd, 0x20);
    put_int(fd, 1);
  }
}

static void serve(int fd) {
  int32_t cmd, flags, n, d, off, len;
  char name[1100] = "";
  uint32_t sum = 0;
  if (!get_int(fd, &cmd)) return;
  switch (cmd) {
    case TXC_CMD_VERSION:
      put_int(fd, 429);
      break;
    case TXC_CMD_IDSTRING:
      put_string(fd, "tavrixd responder");
      break;
    case TXC_CMD_BASES:
      put_int(fd, 2);
      put_string(fd, "main");
      put_int(fd, 100);
      put_string(fd, "extra");
      put_int(fd, 23);
      break;
    case TXC_CMD_SCAN:
      if (!get_int(fd, &flags) || !get_int(fd, &n) || n < 0 || n > 1024) return;
      if (n > 0 && !read_full(fd, name, (size_t)n)) return;
      name[n > 0 ? n : 0] = '\0';
      if (!get_int(fd, &d) || !skip(fd, (uint32_t)d, &sum)) return;
      scan_answer(fd, flags, n > 0 ? name : "[MemoryBuffer]", sum);
      break;
    case TXC_CMD_SCAN_PART:
      if (!get_int(fd, &off) || !get_int(fd, &len) || !get_int(fd, &flags) || !get_int(fd, &n) ||
          n <= 0 || n > 1024 || !read_full(fd, name, (size_t)n))
        return;
      name[n] = '\0';
      scan_answer(fd, flags, name, (uint32_t)(off + len));
      break;
    default:
      break;
  }
}

static pid_t start_responder(const char *path) {
  int ls = socket(AF_UNIX, SOCK_STREAM, 0);
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (strlen(path) >= sizeof addr.sun_path) exit(2);
  memcpy(addr.sun_path, path, strlen(path) + 1);
  unlink(path);
  if (ls < 0 || bind(ls, (struct sockaddr *)&addr, sizeof addr) != 0 || listen(ls, 8) != 0) {
    perror("responder");
    exit(2);
  }
  pid_t pid = fork();
  if (pid == 0) {
    for (;;) {
      int c = accept(ls, NULL, NULL);
      if (c < 0) continue;
      serve(c);
      close(c);
    }
  }
  close(ls);
  return pid;
}

/* ---- the client side ---- */

struct feed {
  int left;
};

static int feed_fn(void *buffer, int capacity, void *user) {
  struct feed *f = user;
  int n = f->left < capacity ? f->left : capacity;
  memset(buffer, 1, (size_t)n);
  f->left -= n;
  return n;
}

static void check_result(txc_scanresult *res, const char *report) {
  CHECK(res != NULL);
  if (res == NULL) return;
  CHECK(txc_scanresult_status(res) == 0x20);
  CHECK(strcmp(txc_status_strerror(txc_scanresult_status(res)), "known virus is found") == 0);
  txc_strlist *v = txc_scanresult_viruses(res);
  CHECK(strlist_count(v) == 1);
  strlist_rewind(v, TXC_STRLIST_FORWARD);
  const char *first = strlist_next(v);
  CHECK(first != NULL && strcmp(first, "EICAR") == 0);
  CHECK(strcmp(txc_scanresult_report(res), report) == 0);
  if (strcmp(txc_scanresult_report(res), report) != 0)
    fprintf(stderr, "report: <%s> wanted <%s>\n", txc_scanresult_report(res), report);
  CHECK(txc_scanresult_stat(res)->infected == 1);
  CHECK(txc_scanresult_free(res) == 0);
}

int main(void) {
  char dir[] = "/tmp/txcapi.XXXXXX";
  if (mkdtemp(dir) == NULL) return 2;
  char sock[256], spec[300], file[256];
  snprintf(sock, sizeof sock, "%s/sock", dir);
  snprintf(spec, sizeof spec, "local:%s", sock);
  snprintf(file, sizeof file, "%s/data.bin", dir);
  FILE *fp = fopen(file, "wb");
  for (int i = 0; i < 5000; ++i) fputc(2, fp);
  fclose(fp);

  pid_t responder = start_responder(sock);
  const int flags = TXC_RETURN_VIRUSES | TXC_RETURN_REPORT | TXC_RETURN_CODES;

  CHECK(txc_daemon_version(&(int){0}, &(int){0}) == TXC_ERR_NOTINIT);
  CHECK(txc_startup(TXC_LIB_VERSION, spec, 10, 0) == TXC_OK);

  int major = -1, minor = -1;
  CHECK(txc_daemon_version(&major, &minor) == TXC_OK);
  CHECK(major == 4 && minor == 29);

  char *id = NULL;
  CHECK(txc_daemon_id(&id) == TXC_OK);
  CHECK(id != NULL && strcmp(id, "tavrixd responder") == 0);
  free(id);

  char *bases = NULL;
  int total = 0;
  CHECK(txc_daemon_bases(&bases, &total) == TXC_OK);
  CHECK(bases != NULL &&
        strcmp(bases, "Base main contain 100 records.\nBase extra contain 23 records.\n") == 0);
  CHECK(total == 123);
  free(bases);

  txc_scanresult *res = NULL;
  CHECK(txc_scan_buffer("\x05\x05\x05", 3, flags, &res, 0) == TXC_OK);
  check_result(res, "[MemoryBuffer] infected sum=15\n");

  /* By content: 5000 bytes of 2 (the file's directory is cut off). */
  res = NULL;
  CHECK(txc_scan_file(file, (int)strlen(file), 0, flags, &res, 0) == TXC_OK);
  check_result(res, "data.bin infected sum=10000\n");

  /* Local scan: the responder receives no data. */
  res = NULL;
  CHECK(txc_scan_file(file, (int)strlen(file), 1, flags, &res, 0) == TXC_OK);
  check_result(res, "data.bin infected sum=0\n");

  res = NULL;
  CHECK(txc_scan_file_part(file, (int)strlen(file), 100, 50, flags, &res, 0) == TXC_OK);
  check_result(res, "data.bin infected sum=150\n");

  struct feed f = {9000};
  res = NULL;
  CHECK(txc_scan_callback(feed_fn, &f, NULL, 0, 9000, flags, &res, 0) == TXC_OK);
  CHECK(f.left == 0);
  check_result(res, "[MemoryBuffer] infected sum=9000\n");

  CHECK(strcmp(txc_lib_strerror(TXC_ERR_TIMEOUT), "timeout") == 0);
  CHECK(txc_cleanup() == TXC_OK);
  CHECK(txc_cleanup() == TXC_ERR_ONCE);

  kill(responder, SIGTERM);
  waitpid(responder, NULL, 0);
  unlink(sock);
  unlink(file);
  rmdir(dir);
  if (failures != 0) fprintf(stderr, "%d check(s) failed\n", failures);
  return failures == 0 ? 0 : 1;
}
