#include "e2e_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ftw.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/process.h"

TempDir::TempDir() {
  char templ[] = "/tmp/txc-e2e-XXXXXX";
  const char *p = mkdtemp(templ);
  path_ = p != nullptr ? p : "/tmp";
}

TempDir::~TempDir() {
  if (path_ == "/tmp") return;
  nftw(
      path_.c_str(),
      [](const char *p, const struct stat *, int, struct FTW *) { return remove(p); }, 16,
      FTW_DEPTH | FTW_PHYS);
}

bool write_file(const std::string &path, const std::string &content) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << content;
  return static_cast<bool>(f);
}

bool file_exists(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::string read_file(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

Daemon::~Daemon() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

bool Daemon::start(const std::string &dir, const std::vector<std::string> &extra, bool unix_socket,
                   int tcp_port) {
  pidfile_ = dir + "/daemon.pid";
  log_ = dir + "/daemon.log";
  socket_ = unix_socket ? dir + "/daemon.sock" : "";
  std::vector<std::string> args = {STANDIN_PATH, "--pidfile", pidfile_};
  if (unix_socket) args.insert(args.end(), {"--socket", socket_});
  if (tcp_port >= 0) args.insert(args.end(), {"--tcp", std::to_string(tcp_port)});
  args.insert(args.end(), extra.begin(), extra.end());
  unlink(pidfile_.c_str());

  pid_ = fork();
  if (pid_ == 0) {
    int fd = open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
    }
    int null_fd = open("/dev/null", O_RDONLY);
    if (null_fd >= 0) dup2(null_fd, 0);
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  if (pid_ < 0) return false;

  // The PID file appears once the daemon listens.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return false;
    }
    if (file_exists(pidfile_)) {
      std::istringstream in(read_file(pidfile_));
      std::string line;
      while (std::getline(in, line)) {
        size_t colon = line.rfind(':');
        if (line.rfind("127.0.0.1:", 0) == 0 && colon != std::string::npos)
          port_ = std::atoi(line.c_str() + colon + 1);
      }
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

int Daemon::stop(int sig) {
  if (pid_ <= 0) return -1;
  kill(pid_, sig);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  int status = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return -1;  // still running: the destructor kills it
}

ProcessResult run_standin(const std::vector<std::string> &args) {
  std::vector<std::string> argv = {STANDIN_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_process(argv, "", 20000);
}

RawConn::RawConn(const std::string &socket_path) {
  fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return;
  struct sockaddr_un sun;
  memset(&sun, 0, sizeof sun);
  sun.sun_family = AF_UNIX;
  strncpy(sun.sun_path, socket_path.c_str(), sizeof sun.sun_path - 1);
  if (connect(fd_, reinterpret_cast<struct sockaddr *>(&sun), sizeof sun) != 0) {
    close(fd_);
    fd_ = -1;
    return;
  }
  struct timeval tv = {5, 0};
  setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

RawConn::~RawConn() {
  if (fd_ >= 0) close(fd_);
}

bool RawConn::send_bytes(const std::string &data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool RawConn::send_ints(const std::vector<int32_t> &values) {
  std::string data;
  for (int32_t v : values) {
    uint32_t be = htonl(static_cast<uint32_t>(v));
    data.append(reinterpret_cast<const char *>(&be), 4);
  }
  return send_bytes(data);
}

bool RawConn::read_bytes(size_t n, std::string *out) {
  out->clear();
  char buf[4096];
  while (out->size() < n) {
    size_t want = n - out->size() < sizeof buf ? n - out->size() : sizeof buf;
    ssize_t got = recv(fd_, buf, want, 0);
    if (got <= 0) return false;
    out->append(buf, static_cast<size_t>(got));
  }
  return true;
}

bool RawConn::read_int(int32_t *value) {
  std::string b;
  if (!read_bytes(4, &b)) return false;
  uint32_t be;
  memcpy(&be, b.data(), 4);
  *value = static_cast<int32_t>(ntohl(be));
  return true;
}

bool RawConn::read_string(std::string *text) {
  int32_t n = 0;
  if (!read_int(&n) || n < 0) return false;
  return read_bytes(static_cast<size_t>(n), text);
}

bool RawConn::closed_by_peer() {
  char c;
  ssize_t n = recv(fd_, &c, 1, 0);
  return n == 0;
}

bool RawConn::readable_within(int ms) {
  struct pollfd p = {fd_, POLLIN, 0};
  return poll(&p, 1, ms) > 0;
}

std::string RawConn::read_all() {
  std::string all;
  char buf[4096];
  for (;;) {
    ssize_t n = recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) break;
    all.append(buf, static_cast<size_t>(n));
  }
  return all;
}

bool tcp_port_free(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  struct sockaddr_in sin;
  memset(&sin, 0, sizeof sin);
  sin.sin_family = AF_INET;
  sin.sin_port = htons(static_cast<uint16_t>(port));
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = bind(fd, reinterpret_cast<struct sockaddr *>(&sin), sizeof sin) == 0;
  close(fd);
  return ok;
}
