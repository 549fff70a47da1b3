// tavrixd-standin: a small scanning daemon that speaks the tavrixd wire
// protocol, for tests and demonstrations of the client where the real
// daemon is not installed.
#include <fcntl.h>
#include <getopt.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <set>
#include <string>

#include "ipc/txc_ipc.h"
#include "standin_serve.h"
#include "standin_sig.h"
#include "txc_log.h"

namespace {

constexpr const char *kProgram = "tavrixd-standin";

const char kHelp[] =
    "Usage: tavrixd-standin [options]\n"
    "A stand-in for the tavrixd scanning daemon: serves the client protocol on a\n"
    "UNIX-domain socket and/or a TCP port on 127.0.0.1 and really scans what it is\n"
    "sent for the antivirus test file and the signatures of a signature file.\n"
    "\n"
    "Where to listen (at least one):\n"
    "  --socket PATH        UNIX-domain socket; a stale socket file there is replaced\n"
    "  --tcp PORT           TCP port on 127.0.0.1 (0 picks a free port)\n"
    "  --pidfile PATH       written once listening: the process ID, then one address\n"
    "                       per line (the socket path, 127.0.0.1:PORT with the real\n"
    "                       port); removed again on SIGTERM or SIGINT\n"
    "\n"
    "Answers:\n"
    "  --version N          version number answered, major * 100 + minor (429)\n"
    "  --id TEXT            identification text\n"
    "  --base NAME:COUNT    a loaded base and its record count; repeatable (default:\n"
    "                       one base, standin.avb, counting the loaded signatures)\n"
    "  --signatures FILE    extra signatures, one per line: NAME HEXBYTES, e.g.\n"
    "                         Test.Sample 4d5a 9000 ff\n"
    "                       NAME: up to 128 printable characters without blanks;\n"
    "                       HEXBYTES: 1 to 4096 bytes as pairs of hexadecimal\n"
    "                       digits, blanks between pairs allowed. Blank lines and\n"
    "                       lines starting with # are ignored. The test-file\n"
    "                       signature (EICAR-Test-File) is always loaded.\n"
    "\n"
    "Scanning: content sent by the client, a local file by its path (sent without\n"
    "data), or a byte range of a local file; a signature is found anywhere in the\n"
    "object. Status: 0 clean, 0x20 virus found, 0x1 the file could not be read,\n"
    "0x800 not a regular file, 0x8000 an invalid range request. Report lines read\n"
    "\"<object name>\\t<finding>\"; statistics are one pair (status, 1).\n"
    "\n"
    "Fault modes:\n"
    "  --status WORD        answer every scan with this status word (0x.. or decimal)\n"
    "  --delay MS           wait MS milliseconds before every answer\n"
    "  --close-after N      close each connection after N bytes of its answer\n"
    "  --hang               never answer; close when the client does\n"
    "\n"
    "Other:\n"
    "  --max-clients N      connections served at once (64); more wait to be accepted\n"
    "  --io-timeout MS      time budget of one connection's transfers (120000)\n"
    "  --verbose            log every request and library detail on standard error\n"
    "  --write-test-file PATH  write the antivirus test file to PATH and exit\n"
    "  --help               this text\n"
    "\n"
    "Requests with an unknown command word or an absurd name length are refused by\n"
    "closing the connection. Exit status: 0 after a clean stop, 1 when it cannot\n"
    "start, 2 for a usage error.\n";

struct Options {
  std::string socket_path;
  bool use_tcp = false;
  int tcp_port = 0;
  std::string pid_file;
  std::string signatures;
  std::string test_file;
  int max_clients = 64;
  txc_timeout_t io_timeout = 120000;
  bool verbose = false;
  standin::Config config;
};

// Stop requests arrive on this pipe. It is never drained, so once written
// it stays readable and every waiting connection sees it too.
int g_stop_pipe[2] = {-1, -1};
// Finished connections poke the accept loop through this pipe.
int g_wake_pipe[2] = {-1, -1};

std::atomic<int> g_active{0};
std::mutex g_conn_mutex;
std::set<int> g_conn_fds;  // descriptors of connections being served

const standin::SignatureSet *g_signatures = nullptr;
const standin::Config *g_config = nullptr;

void on_stop_signal(int) {
  int saved = errno;
  ssize_t r = write(g_stop_pipe[1], "s", 1);
  (void)r;
  errno = saved;
}

bool parse_long(const char *text, long long lo, long long hi, long long *out) {
  if (text == nullptr || *text == '\0') return false;
  char *end = nullptr;
  errno = 0;
  long long v = strtoll(text, &end, 0);
  if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
  *out = v;
  return true;
}

int usage_error(const std::string &message) {
  fprintf(stderr, "%s: %s\nTry '%s --help'.\n", kProgram, message.c_str(), kProgram);
  return 2;
}

std::string quoted(const char *text) { return std::string("'") + text + "'"; }

// Returns 0 to go on, or the exit status.
int parse_options(int argc, char **argv, Options *o) {
  enum {
    kSocket = 256,
    kTcp,
    kPidfile,
    kVersion,
    kId,
    kBase,
    kSignatures,
    kStatus,
    kDelay,
    kCloseAfter,
    kHang,
    kMaxClients,
    kIoTimeout,
    kVerbose,
    kTestFile,
    kHelpOpt,
  };
  static const struct option longopts[] = {
      {"socket", required_argument, nullptr, kSocket},
      {"tcp", required_argument, nullptr, kTcp},
      {"pidfile", required_argument, nullptr, kPidfile},
      {"version", required_argument, nullptr, kVersion},
      {"id", required_argument, nullptr, kId},
      {"base", required_argument, nullptr, kBase},
      {"signatures", required_argument, nullptr, kSignatures},
      {"status", required_argument, nullptr, kStatus},
      {"delay", required_argument, nullptr, kDelay},
      {"close-after", required_argument, nullptr, kCloseAfter},
      {"hang", no_argument, nullptr, kHang},
      {"max-clients", required_argument, nullptr, kMaxClients},
      {"io-timeout", required_argument, nullptr, kIoTimeout},
      {"verbose", no_argument, nullptr, kVerbose},
      {"write-test-file", required_argument, nullptr, kTestFile},
      {"help", no_argument, nullptr, kHelpOpt},
      {nullptr, 0, nullptr, 0},
  };
  opterr = 0;
  int c;
  long long v = 0;
  while ((c = getopt_long(argc, argv, "", longopts, nullptr)) != -1) {
    switch (c) {
      case kSocket:
        o->socket_path = optarg;
        break;
      case kTcp:
        if (!parse_long(optarg, 0, 65535, &v)) return usage_error("bad TCP port " + quoted(optarg));
        o->use_tcp = true;
        o->tcp_port = static_cast<int>(v);
        break;
      case kPidfile:
        o->pid_file = optarg;
        break;
      case kVersion:
        if (!parse_long(optarg, INT32_MIN, INT32_MAX, &v))
          return usage_error("bad version number " + quoted(optarg));
        o->config.version = static_cast<int32_t>(v);
        break;
      case kId:
        o->config.id = optarg;
        break;
      case kBase: {
        std::string arg = optarg;
        size_t colon = arg.rfind(':');
        if (colon == std::string::npos || colon == 0 ||
            !parse_long(arg.c_str() + colon + 1, INT32_MIN, INT32_MAX, &v))
          return usage_error("bad base " + quoted(optarg) + " (NAME:COUNT expected)");
        o->config.bases.emplace_back(arg.substr(0, colon), static_cast<int32_t>(v));
        break;
      }
      case kSignatures:
        o->signatures = optarg;
        break;
      case kStatus:
        if (!parse_long(optarg, 0, UINT32_MAX, &v))
          return usage_error("bad status word " + quoted(optarg));
        o->config.status_override = true;
        o->config.status = static_cast<uint32_t>(v);
        break;
      case kDelay:
        if (!parse_long(optarg, 0, INT32_MAX, &v))
          return usage_error("bad delay " + quoted(optarg));
        o->config.delay_ms = static_cast<int>(v);
        break;
      case kCloseAfter:
        if (!parse_long(optarg, 0, INT64_MAX, &v))
          return usage_error("bad byte count " + quoted(optarg));
        o->config.close_after = v;
        break;
      case kHang:
        o->config.hang = true;
        break;
      case kMaxClients:
        if (!parse_long(optarg, 1, 4096, &v))
          return usage_error("bad client count " + quoted(optarg));
        o->max_clients = static_cast<int>(v);
        break;
      case kIoTimeout:
        if (!parse_long(optarg, 1, TXC_TIMEOUT_MAX, &v))
          return usage_error("bad timeout " + quoted(optarg));
        o->io_timeout = static_cast<txc_timeout_t>(v);
        break;
      case kVerbose:
        o->verbose = true;
        break;
      case kTestFile:
        o->test_file = optarg;
        break;
      case kHelpOpt:
        fputs(kHelp, stdout);
        return -1;
      default:
        return usage_error("unknown option or missing argument: " + std::string(argv[optind - 1]));
    }
  }
  if (optind < argc) return usage_error("unexpected argument " + quoted(argv[optind]));
  if (!o->test_file.empty()) return 0;
  if (o->socket_path.empty() && !o->use_tcp)
    return usage_error("nothing to listen on: give --socket and/or --tcp");
  if (!o->socket_path.empty() && o->socket_path[0] != '/') {
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) return usage_error("cannot resolve the socket path");
    o->socket_path = std::string(cwd) + "/" + o->socket_path;
  }
  // The socket address holds at most 103 characters; a longer path would be
  // cut silently and the PID file would name a socket that is not there.
  if (o->socket_path.size() > 103)
    return usage_error("socket path " + quoted(o->socket_path.c_str()) +
                       " is longer than 103 characters");
  return 0;
}

int write_test_file(const std::string &path) {
  std::vector<uint8_t> bytes = standin::test_file_bytes();
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    fprintf(stderr, "%s: cannot create %s: %s\n", kProgram, path.c_str(), strerror(errno));
    return 1;
  }
  ssize_t n = write(fd, bytes.data(), bytes.size());
  int saved = errno;
  if (close(fd) != 0 || n != static_cast<ssize_t>(bytes.size())) {
    fprintf(stderr, "%s: cannot write %s: %s\n", kProgram, path.c_str(), strerror(saved));
    unlink(path.c_str());
    return 1;
  }
  return 0;
}

// A socket file left by a daemon that is gone is removed; one that still
// answers, or a path that is not a socket, is left alone.
bool clear_stale_socket(const std::string &path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return errno == ENOENT;
  if (!S_ISSOCK(st.st_mode)) {
    fprintf(stderr, "%s: %s exists and is not a socket\n", kProgram, path.c_str());
    return false;
  }
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  struct sockaddr_un sun;
  memset(&sun, 0, sizeof sun);
  sun.sun_family = AF_UNIX;
  memcpy(sun.sun_path, path.c_str(), path.size());
  int rc = connect(fd, reinterpret_cast<struct sockaddr *>(&sun), sizeof sun);
  int saved = errno;
  close(fd);
  if (rc == 0) {
    fprintf(stderr, "%s: a daemon is already listening on %s\n", kProgram, path.c_str());
    return false;
  }
  if (saved != ECONNREFUSED) {
    fprintf(stderr, "%s: cannot check %s: %s\n", kProgram, path.c_str(), strerror(saved));
    return false;
  }
  return unlink(path.c_str()) == 0 || errno == ENOENT;
}

txc_ipc_t *make_listener(const std::string &spec, bool reuse_addr) {
  int type = 0;
  txc_ipc_addr_t *addr = create_ipc_addr(spec.c_str(), 0, &type);
  if (addr == nullptr) {
    fprintf(stderr, "%s: cannot parse address %s\n", kProgram, spec.c_str());
    return nullptr;
  }
  txc_ipc_t *ch = nullptr;
  // The flag marks the channels as allowed to scan local files.
  int rc = create_ipc(type, addr, nullptr, TXC_TIMEOUT_INFINITE, 1, &ch);
  delete_ipc_addr(addr);
  if (rc != 0) {
    fprintf(stderr, "%s: cannot create a socket for %s\n", kProgram, spec.c_str());
    return nullptr;
  }
  if (reuse_addr) {
    int one = 1;
    setsockopt(ch->fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  }
  if (bind_ipc(ch) != 0 || listen_ipc(ch, 64) != 0) {
    fprintf(stderr, "%s: cannot listen on %s\n", kProgram, spec.c_str());
    delete_ipc(&ch);
    return nullptr;
  }
  // The accept loop polls first; a connection that vanishes in between
  // must not block the loop in accept.
  int fl = fcntl(ch->fd, F_GETFL);
  if (fl >= 0) fcntl(ch->fd, F_SETFL, fl | O_NONBLOCK);
  fcntl(ch->fd, F_SETFD, FD_CLOEXEC);
  return ch;
}

bool write_pid_file(const std::string &path, const std::string &socket_path, int tcp_port) {
  std::string text = std::to_string(getpid()) + "\n";
  if (!socket_path.empty()) text += socket_path + "\n";
  if (tcp_port > 0) text += "127.0.0.1:" + std::to_string(tcp_port) + "\n";
  // Written aside and renamed, so that a reader never sees half a file.
  std::string tmp = path + ".tmp";
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ok = close(fd) == 0 && ok;
  if (ok && rename(tmp.c_str(), path.c_str()) == 0) return true;
  unlink(tmp.c_str());
  return false;
}

void *connection_thread(void *arg) {
  txc_ipc_t *ch = static_cast<txc_ipc_t *>(arg);
  standin::serve_connection(ch, *g_config, *g_signatures, g_stop_pipe[0]);
  {
    std::lock_guard<std::mutex> lock(g_conn_mutex);
    g_conn_fds.erase(ch->fd);
    delete_ipc(&ch);
  }
  g_active.fetch_sub(1);
  ssize_t r = write(g_wake_pipe[1], "w", 1);
  (void)r;
  return nullptr;
}

void start_connection(txc_ipc_t *ch) {
  // Some systems hand the listener's non-blocking mode on to accepted
  // sockets; channel sockets are blocking.
  int fl = fcntl(ch->fd, F_GETFL);
  if (fl >= 0 && (fl & O_NONBLOCK) != 0) fcntl(ch->fd, F_SETFL, fl & ~O_NONBLOCK);
  fcntl(ch->fd, F_SETFD, FD_CLOEXEC);
  {
    std::lock_guard<std::mutex> lock(g_conn_mutex);
    g_conn_fds.insert(ch->fd);
  }
  g_active.fetch_add(1);
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t tid;
  int rc = pthread_create(&tid, &attr, connection_thread, ch);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    fprintf(stderr, "%s: cannot start a connection thread: %s\n", kProgram, strerror(rc));
    std::lock_guard<std::mutex> lock(g_conn_mutex);
    g_conn_fds.erase(ch->fd);
    delete_ipc(&ch);
    g_active.fetch_sub(1);
  }
}

bool make_pipe(int fds[2]) {
  if (pipe(fds) != 0) return false;
  for (int i = 0; i < 2; ++i) {
    fcntl(fds[i], F_SETFD, FD_CLOEXEC);
    fcntl(fds[i], F_SETFL, fcntl(fds[i], F_GETFL) | O_NONBLOCK);
  }
  return true;
}

void drain(int fd) {
  char buf[256];
  while (read(fd, buf, sizeof buf) > 0) {
  }
}

// Accepts until a stop is requested (true) or polling fails (false).
bool accept_loop(txc_ipc_t *const listeners[2], const Options &o) {
  for (;;) {
    struct pollfd fds[4];
    int nfds = 0;
    fds[nfds++] = {g_stop_pipe[0], POLLIN, 0};
    fds[nfds++] = {g_wake_pipe[0], POLLIN, 0};
    bool room = g_active.load() < o.max_clients;
    int first_listener = nfds;
    for (int i = 0; i < 2 && room; ++i)
      if (listeners[i] != nullptr) fds[nfds++] = {listeners[i]->fd, POLLIN, 0};
    int n = poll(fds, static_cast<nfds_t>(nfds), -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      fprintf(stderr, "%s: poll failed: %s\n", kProgram, strerror(errno));
      return false;
    }
    if (fds[0].revents != 0) return true;
    if (fds[1].revents != 0) drain(g_wake_pipe[0]);
    for (int i = first_listener; i < nfds; ++i) {
      if ((fds[i].revents & POLLIN) == 0) continue;
      txc_ipc_t *listener =
          listeners[0] != nullptr && listeners[0]->fd == fds[i].fd ? listeners[0] : listeners[1];
      txc_ipc_t *conn = nullptr;
      if (accept_ipc(listener, &conn, o.io_timeout) == 0 && conn != nullptr) {
        start_connection(conn);
      } else {
        // Out of descriptors, say: the listener stays readable, so pause
        // instead of spinning on a failing accept.
        struct pollfd p = {g_stop_pipe[0], POLLIN, 0};
        poll(&p, 1, 100);
      }
    }
  }
}

// Ends the connections still being served: their sockets are shut down,
// which wakes any transfer, and the stop pipe ends their waits.
bool finish_connections() {
  {
    std::lock_guard<std::mutex> lock(g_conn_mutex);
    for (int fd : g_conn_fds) shutdown(fd, SHUT_RDWR);
  }
  for (int i = 0; i < 50 && g_active.load() > 0; ++i) {
    struct pollfd p = {g_wake_pipe[0], POLLIN, 0};
    poll(&p, 1, 100);
    drain(g_wake_pipe[0]);
  }
  return g_active.load() == 0;
}

}  // namespace

int main(int argc, char **argv) {
  Options o;
  int rc = parse_options(argc, argv, &o);
  if (rc != 0) return rc < 0 ? 0 : rc;
  if (!o.test_file.empty()) return write_test_file(o.test_file);

  static standin::SignatureSet signatures;
  if (!o.signatures.empty()) {
    std::string error;
    if (!signatures.load_file(o.signatures.c_str(), &error)) {
      fprintf(stderr, "%s: %s: %s\n", kProgram, o.signatures.c_str(), error.c_str());
      return 2;
    }
  }
  g_signatures = &signatures;
  g_config = &o.config;

  txc_log_open("console", o.verbose ? TXC_LOG_DETAIL : TXC_LOG_WARNING, 0, 0);
  if (!make_pipe(g_stop_pipe) || !make_pipe(g_wake_pipe)) {
    fprintf(stderr, "%s: cannot create pipes: %s\n", kProgram, strerror(errno));
    return 1;
  }
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_stop_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  if (init_ipc_system() != 0) {
    fprintf(stderr, "%s: cannot start the IPC system\n", kProgram);
    return 1;
  }

  txc_ipc_t *listeners[2] = {nullptr, nullptr};
  struct stat socket_stat;
  memset(&socket_stat, 0, sizeof socket_stat);
  int tcp_port = 0;
  bool ok = true;
  if (!o.socket_path.empty()) {
    ok = clear_stale_socket(o.socket_path) &&
         (listeners[0] = make_listener("local:" + o.socket_path, false)) != nullptr &&
         lstat(o.socket_path.c_str(), &socket_stat) == 0;
  }
  if (ok && o.use_tcp) {
    listeners[1] = make_listener("inet:" + std::to_string(o.tcp_port) + "@127.0.0.1", true);
    ok = listeners[1] != nullptr;
    if (ok) {
      struct sockaddr_in sin;
      socklen_t len = sizeof sin;
      ok = getsockname(listeners[1]->fd, reinterpret_cast<struct sockaddr *>(&sin), &len) == 0;
      tcp_port = ok ? ntohs(sin.sin_port) : 0;
    }
  }
  bool pid_written = false;
  if (ok && !o.pid_file.empty()) {
    pid_written = write_pid_file(o.pid_file, o.socket_path, tcp_port);
    if (!pid_written) {
      fprintf(stderr, "%s: cannot write PID file %s: %s\n", kProgram, o.pid_file.c_str(),
              strerror(errno));
      ok = false;
    }
  }
  if (ok) {
    if (o.verbose)
      fprintf(stderr, "%s: listening%s%s%s%d\n", kProgram, o.socket_path.empty() ? "" : " on ",
              o.socket_path.c_str(), tcp_port > 0 ? " on 127.0.0.1:" : "", tcp_port);
    ok = accept_loop(listeners, o);
  }

  // Stop: no new connections, the files go, then the connections end.
  for (txc_ipc_t *&l : listeners)
    if (l != nullptr) delete_ipc(&l);
  if (!o.socket_path.empty() && socket_stat.st_ino != 0) {
    // Removed by the channel already; this only catches a socket file of
    // ours that is somehow still there.
    struct stat now;
    if (lstat(o.socket_path.c_str(), &now) == 0 && now.st_ino == socket_stat.st_ino &&
        now.st_dev == socket_stat.st_dev)
      unlink(o.socket_path.c_str());
  }
  if (pid_written) unlink(o.pid_file.c_str());
  bool all_done = finish_connections();
  deinit_ipc_system();
  fflush(stdout);
  fflush(stderr);
  // Threads that are somehow still running must not see the exit tear down
  // what they use.
  if (!all_done) _exit(ok ? 0 : 1);
  return ok ? 0 : 1;
}
