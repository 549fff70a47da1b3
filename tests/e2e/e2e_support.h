// Helpers of the end-to-end tests: a scratch directory, the stand-in daemon
// as a child process, and a raw protocol connection.
#ifndef TESTS_E2E_E2E_SUPPORT_H_
#define TESTS_E2E_E2E_SUPPORT_H_

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

// A fresh directory under /tmp, removed with its contents.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string &path() const { return path_; }
  std::string file(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

bool write_file(const std::string &path, const std::string &content);
bool file_exists(const std::string &path);
std::string read_file(const std::string &path);

// The stand-in daemon, started with --pidfile and its listen options.
class Daemon {
 public:
  ~Daemon();
  // Starts the daemon and waits for its PID file. unix_socket: listen on
  // dir/daemon.sock; tcp_port >= 0: also listen on that TCP port.
  bool start(const std::string &dir, const std::vector<std::string> &extra, bool unix_socket = true,
             int tcp_port = -1);
  // Sends sig and waits for the exit; the exit status, or -1.
  int stop(int sig = 15);
  bool running() const { return pid_ > 0; }

  pid_t pid() const { return pid_; }
  const std::string &socket_path() const { return socket_; }
  const std::string &pid_file() const { return pidfile_; }
  int port() const { return port_; }
  std::string log() const { return read_file(log_); }

 private:
  pid_t pid_ = -1;
  std::string socket_, pidfile_, log_;
  int port_ = 0;
};

// Runs the stand-in daemon to completion (for --help, --write-test-file
// and start-up failures).
struct ProcessResult;
ProcessResult run_standin(const std::vector<std::string> &args);

// A client-side connection that speaks the wire format directly.
class RawConn {
 public:
  explicit RawConn(const std::string &socket_path);
  ~RawConn();
  bool ok() const { return fd_ >= 0; }
  bool send_ints(const std::vector<int32_t> &values);
  bool send_bytes(const std::string &data);
  bool read_int(int32_t *value);
  bool read_string(std::string *text);
  bool read_bytes(size_t n, std::string *out);
  // True when the daemon closed the connection (end of file within 5 s)
  // without sending anything more.
  bool closed_by_peer();
  // True when something (data or end of file) arrives within ms.
  bool readable_within(int ms);
  // Reads everything up to end of file (5 s limit per read).
  std::string read_all();

 private:
  int fd_ = -1;
};

// True when a TCP listener could bind 127.0.0.1:port right now.
bool tcp_port_free(int port);

#endif  // TESTS_E2E_E2E_SUPPORT_H_
