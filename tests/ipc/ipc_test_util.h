// Helpers shared by the transport tests: a started IPC subsystem, loopback
// listeners of both families, and peers that run in a thread.
#ifndef TESTS_IPC_IPC_TEST_UTIL_H_
#define TESTS_IPC_IPC_TEST_UTIL_H_

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "ipc/txc_ipc.h"

// Starts the subsystem for one test and stops it afterwards.
class IpcSystem {
 public:
  IpcSystem() { ok_ = (init_ipc_system() == 0); }
  ~IpcSystem() {
    if (ok_) deinit_ipc_system();
  }
  bool ok() const { return ok_; }

 private:
  bool ok_;
};

// A fresh directory for UNIX-domain socket files, removed at the end.
class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/txc_ipc_XXXXXX";
    const char *p = mkdtemp(tmpl);
    path_ = (p != nullptr) ? p : "";
  }
  ~TempDir() {
    if (!path_.empty()) {
      std::string cmd = "rm -rf '" + path_ + "'";
      if (system(cmd.c_str()) != 0) {
      }
    }
  }
  const std::string &path() const { return path_; }

 private:
  std::string path_;
};

inline int bound_port(int fd) {
  sockaddr_in sin{};
  socklen_t len = sizeof sin;
  if (getsockname(fd, reinterpret_cast<sockaddr *>(&sin), &len) != 0) return -1;
  return ntohs(sin.sin_port);
}

// A listening channel on 127.0.0.1 (ephemeral port) or on a socket file.
// spec() gives the address specification a client connects to.
class Listener {
 public:
  Listener(int type, const std::string &path = "") : type_(type) {
    std::string local = type == TXC_IPC_TYPE_TCP ? "inet:0@127.0.0.1" : "local:" + path;
    int t = 0;
    addr_ = create_ipc_addr(local.c_str(), 1, &t);
    if (addr_ == nullptr) return;
    if (create_ipc(type, addr_, nullptr, -1, 0, &ipc_) != 0) return;
    if (bind_ipc(ipc_) != 0 || listen_ipc(ipc_, 16) != 0) return;
    spec_ = type == TXC_IPC_TYPE_TCP ? "inet:" + std::to_string(bound_port(ipc_->fd)) + "@127.0.0.1"
                                     : local;
  }
  ~Listener() {
    if (ipc_ != nullptr) delete_ipc(&ipc_);
    if (addr_ != nullptr) delete_ipc_addr(addr_);
  }
  bool ok() const { return !spec_.empty(); }
  const std::string &spec() const { return spec_; }
  txc_ipc_t *ipc() { return ipc_; }

 private:
  int type_;
  txc_ipc_addr_t *addr_ = nullptr;
  txc_ipc_t *ipc_ = nullptr;
  std::string spec_;
};

inline long elapsed_ms(std::chrono::steady_clock::time_point since) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - since)
                               .count());
}

#endif  // TESTS_IPC_IPC_TEST_UTIL_H_
