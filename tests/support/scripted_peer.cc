#include "support/scripted_peer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace {

// Sends everything, or gives up when the client has gone.
bool send_all(int fd, const char *p, size_t n) {
  while (n > 0) {
    ssize_t k = send(fd, p, n, MSG_NOSIGNAL);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return false;
    p += k;
    n -= static_cast<size_t>(k);
  }
  return true;
}

// One receive within ms milliseconds: >0 bytes, 0 peer closed, -1 error or
// timeout.
ssize_t recv_some(int fd, char *buf, size_t n, int ms) {
  pollfd p{fd, POLLIN, 0};
  int r = poll(&p, 1, ms);
  if (r <= 0) return -1;
  ssize_t k = recv(fd, buf, n, 0);
  if (k < 0 && errno == EINTR) return recv_some(fd, buf, n, ms);
  return k;
}

}  // namespace

std::string be32(int64_t value) {
  uint32_t v = static_cast<uint32_t>(value);
  std::string s(4, '\0');
  s[0] = static_cast<char>(v >> 24);
  s[1] = static_cast<char>(v >> 16);
  s[2] = static_cast<char>(v >> 8);
  s[3] = static_cast<char>(v);
  return s;
}

std::string wire_string(const std::string &s) { return be32(static_cast<int64_t>(s.size())) + s; }

ScriptedPeer::ScriptedPeer() {
  char tmpl[] = "/tmp/txpeer.XXXXXX";
  if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp failed");
  dir_ = tmpl;
  path_ = dir_ + "/sock";
  listen_fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path_.c_str(), sizeof addr.sun_path - 1);
  if (listen_fd_ < 0 || bind(listen_fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
      listen(listen_fd_, 16) != 0 || pipe2(wake_, O_CLOEXEC) != 0) {
    throw std::runtime_error("peer socket set-up failed");
  }
  thread_ = std::thread([this] { run(); });
}

ScriptedPeer::~ScriptedPeer() {
  char c = 'x';
  (void)!write(wake_[1], &c, 1);
  thread_.join();
  close(listen_fd_);
  close(wake_[0]);
  close(wake_[1]);
  unlink(path_.c_str());
  rmdir(dir_.c_str());
}

void ScriptedPeer::add(PeerScript script) {
  std::lock_guard<std::mutex> lock(mu_);
  scripts_.push_back(std::move(script));
}

void ScriptedPeer::set_default(PeerScript script) {
  std::lock_guard<std::mutex> lock(mu_);
  default_ = std::move(script);
  has_default_ = true;
}

size_t ScriptedPeer::accepted() const {
  std::lock_guard<std::mutex> lock(mu_);
  return accepted_;
}

std::vector<PeerConnection> ScriptedPeer::wait_connections(size_t n) {
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait_for(lock, std::chrono::seconds(5), [&] { return done_.size() >= n; });
  return done_;
}

void ScriptedPeer::run() {
  for (;;) {
    pollfd p[2] = {{listen_fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (poll(p, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (p[1].revents != 0) return;
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    PeerScript script;
    bool scripted = false;
    {
      std::lock_guard<std::mutex> lock(mu_);
      ++accepted_;
      if (!scripts_.empty()) {
        script = std::move(scripts_.front());
        scripts_.pop_front();
        scripted = true;
      } else if (has_default_) {
        script = default_;
        scripted = true;
      }
    }
    PeerConnection conn;
    if (scripted) serve(fd, script, conn);
    close(fd);
    std::lock_guard<std::mutex> lock(mu_);
    done_.push_back(std::move(conn));
    cv_.notify_all();
  }
}

void ScriptedPeer::serve(int fd, const PeerScript &script, PeerConnection &conn) {
  char buf[65536];
  auto receive = [&](int ms) {
    ssize_t k = recv_some(fd, buf, sizeof buf, ms);
    if (k > 0) {
      conn.request.append(buf, static_cast<size_t>(k));
      conn.recv_sizes.push_back(static_cast<size_t>(k));
    }
    return k;
  };
  while (conn.request.size() < script.wait_for) {
    if (receive(5000) <= 0) return;
  }
  if (!script.silent) {
    size_t n = std::min(script.answer.size(), script.cut_after);
    size_t chunk = script.send_chunk == 0 ? n : script.send_chunk;
    for (size_t off = 0; off < n; off += chunk) {
      if (!send_all(fd, script.answer.data() + off, std::min(chunk, n - off))) return;
      if (script.chunk_delay_us > 0) usleep(static_cast<useconds_t>(script.chunk_delay_us));
    }
    if (script.cut_after != SIZE_MAX) {
      // End the answer stream but keep reading: a full close here could
      // reach the client before it has written its request, which would
      // then fail on the write instead of on the cut answer.
      shutdown(fd, SHUT_WR);
    }
  }
  // Record the rest of the request until the client closes.
  while (receive(10000) > 0) {
  }
}
