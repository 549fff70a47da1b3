// Descriptor I/O on socket pairs: waits, short reads, closed peers, used-up
// budgets and interrupted system calls.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "ipc/txc_fd.h"
#include "ipc_test_util.h"
#include "support/log_capture.h"

namespace {

class Pair {
 public:
  Pair() { ok_ = socketpair(AF_UNIX, SOCK_STREAM, 0, fd_) == 0; }
  ~Pair() {
    close_a();
    close_b();
  }
  bool ok() const { return ok_; }
  int a() const { return fd_[0]; }
  int b() const { return fd_[1]; }
  void close_a() {
    if (fd_[0] >= 0) close(fd_[0]);
    fd_[0] = -1;
  }
  void close_b() {
    if (fd_[1] >= 0) close(fd_[1]);
    fd_[1] = -1;
  }

 private:
  int fd_[2] = {-1, -1};
  bool ok_ = false;
};

TEST(RecvFd, ShortAndExactReads) {
  LogCapture log;
  Pair p;
  ASSERT_TRUE(p.ok());
  ASSERT_EQ(write(p.b(), "abc", 3), 3);
  char buf[10];
  size_t len = sizeof buf;
  EXPECT_EQ(recv_fd(p.a(), buf, &len, 1000), 0);
  EXPECT_EQ(len, 3u);
  EXPECT_EQ(std::string(buf, 3), "abc");
  EXPECT_TRUE(log.has(9, "txlib: fd: recv() req=10, readed=3")) << log.dump();

  log.clear();
  ASSERT_EQ(write(p.b(), "xyz", 3), 3);
  len = 3;
  EXPECT_EQ(recv_fd(p.a(), buf, &len, -1), 0);
  EXPECT_EQ(len, 3u);
  EXPECT_FALSE(log.contains("readed")) << log.dump();
}

TEST(RecvFd, PeerClosedIsAFailureWithNothingRead) {
  LogCapture log;
  Pair p;
  ASSERT_TRUE(p.ok());
  p.close_b();
  char buf[16];
  size_t len = sizeof buf;
  EXPECT_EQ(recv_fd(p.a(), buf, &len, 500), -11);
  EXPECT_EQ(len, 0u);
  EXPECT_TRUE(log.has(2, "txlib: fd: recv() req=16 failed - connection closed by remote side"))
      << log.dump();
}

TEST(WaitFd, SilentPeerTimesOutWithinTheBound) {
  LogCapture log;
  Pair p;
  ASSERT_TRUE(p.ok());
  char buf[4];
  size_t len = sizeof buf;
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(recv_fd(p.a(), buf, &len, 200), -13);
  long ms = elapsed_ms(t0);
  EXPECT_GE(ms, 190);
  EXPECT_LT(ms, 3000);
  EXPECT_EQ(len, 4u);  // unchanged on a failed wait
  EXPECT_TRUE(log.has(2, "txlib: fd: wait for recv failed - timeout expired")) << log.dump();

  // A zero timeout does not wait at all.
  t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(wait_for_recv(p.a(), 0), -13);
  EXPECT_LT(elapsed_ms(t0), 1000);
}

TEST(WaitFd, UsedUpBudgetEndsAtOnceEvenWhenReady) {
  LogCapture log;
  Pair p;
  ASSERT_TRUE(p.ok());
  ASSERT_EQ(write(p.b(), "abc", 3), 3);
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(wait_for_recv(p.a(), -2), -13);
  EXPECT_EQ(wait_for_send(p.a(), -2), -13);
  char buf[4];
  size_t len = sizeof buf;
  EXPECT_EQ(recv_fd(p.a(), buf, &len, -2), -13);
  EXPECT_EQ(len, 4u);
  len = 3;
  EXPECT_EQ(send_fd(p.a(), "abc", &len, -2), -13);
  EXPECT_EQ(len, 3u);
  EXPECT_LT(elapsed_ms(t0), 1000);
  EXPECT_TRUE(log.has(2, "txlib: fd: wait for recv failed - timeout expired"));
  EXPECT_TRUE(log.has(2, "txlib: fd: wait for send failed - timeout expired"));
  // Other negative values must not reach poll as "for ever" either.
  EXPECT_EQ(wait_for_recv(p.a(), -7), -13);
}

TEST(WaitFd, ReadyDescriptorAndBadDescriptor) {
  LogCapture log;
  Pair p;
  ASSERT_TRUE(p.ok());
  EXPECT_EQ(wait_for_send(p.a(), 0), 0);
  ASSERT_EQ(write(p.b(), "x", 1), 1);
  EXPECT_EQ(wait_for_recv(p.a(), 0), 0);

  // A descriptor that is not open: poll flags it with POLLNVAL only.
  int fd = dup(p.a());
  close(fd);
  EXPECT_EQ(wait_for_recv(fd, 100), -11);
  EXPECT_TRUE(log.has(2, "txlib: fd: wait for recv failed - poll return 0x20 event mask"))
      << log.dump();
  EXPECT_EQ(wait_for_send(fd, 100), -11);
  EXPECT_TRUE(log.has(2, "txlib: fd: wait for send failed - poll return 0x20 event mask"))
      << log.dump();
}

TEST(SendFd, ClosedPeerFailsWithoutKillingTheProcess) {
  LogCapture log;
  Pair p;
  ASSERT_TRUE(p.ok());
  p.close_b();
  // SIGPIPE keeps its default action here on purpose.
  struct sigaction dfl = {}, old = {};
  dfl.sa_handler = SIG_DFL;
  sigaction(SIGPIPE, &dfl, &old);
  size_t len = 3;
  int rc = send_fd(p.a(), "abc", &len, 500);
  sigaction(SIGPIPE, &old, nullptr);
  EXPECT_EQ(rc, -11);
  EXPECT_EQ(len, 0u);
  EXPECT_TRUE(log.has(2, std::string("txlib: fd: send() failed - ") + strerror(EPIPE)))
      << log.dump();
}

TEST(SendFd, PartialCountAndFullBuffer) {
  LogCapture log;
  Pair p;
  ASSERT_TRUE(p.ok());
  ASSERT_EQ(fcntl(p.a(), F_SETFL, fcntl(p.a(), F_GETFL) | O_NONBLOCK), 0);
  // One send moves at most what fits in the pair's buffer.
  std::string big(4 << 20, 'z');
  size_t len = big.size();
  ASSERT_EQ(send_fd(p.a(), big.data(), &len, 1000), 0);
  EXPECT_GT(len, 0u);
  EXPECT_LT(len, big.size());
  // Now full: the wait runs out and the count is left alone.
  len = big.size();
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(send_fd(p.a(), big.data(), &len, 200), -13);
  EXPECT_LT(elapsed_ms(t0), 3000);
  EXPECT_EQ(len, big.size());
  EXPECT_TRUE(log.has(2, "txlib: fd: wait for send failed - timeout expired")) << log.dump();
}

// Signal handler that does nothing: only there to interrupt a system call.
void noop_handler(int) {}

TEST(WaitFd, InterruptedWaitGoesAgain) {
  LogCapture log;
  Pair p;
  ASSERT_TRUE(p.ok());
  struct sigaction sa = {}, old = {};
  sa.sa_handler = noop_handler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: poll must see EINTR
  ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);

  const pthread_t waiter = pthread_self();
  std::thread peer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    pthread_kill(waiter, SIGUSR1);
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_EQ(write(p.b(), "ok", 2), 2);
  });
  char buf[2];
  size_t len = sizeof buf;
  const int rc = recv_fd(p.a(), buf, &len, 3000);
  peer.join();
  sigaction(SIGUSR1, &old, nullptr);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(len, 2u);
  EXPECT_TRUE(log.has(5, "txlib: fd: wait for recv was interrupted - go again")) << log.dump();
}

TEST(ConnectBindListenAcceptFd, FailuresAreReported) {
  LogCapture log;
  TempDir dir;
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un sun = {};
  sun.sun_family = AF_UNIX;
  std::string path = dir.path() + "/nobody";
  strcpy(sun.sun_path, path.c_str());
  EXPECT_EQ(connect_fd(fd, reinterpret_cast<sockaddr *>(&sun), sizeof sun, 100), -11);
  EXPECT_TRUE(log.has(2, std::string("txlib: fd: connect() failed - ") + strerror(ENOENT)))
      << log.dump();

  // Accept on a socket that is not listening.
  int newfd = 1234;
  sockaddr_un peer;
  socklen_t plen = sizeof peer;
  EXPECT_EQ(accept_fd(fd, reinterpret_cast<sockaddr *>(&peer), &plen, &newfd), -11);
  EXPECT_EQ(newfd, -1);
  EXPECT_TRUE(log.has(2, std::string("txlib: fd: accept() failed - ") + strerror(EINVAL)))
      << log.dump();

  EXPECT_EQ(bind_fd(fd, reinterpret_cast<sockaddr *>(&sun), sizeof sun), 0);
  EXPECT_EQ(listen_fd(fd, 4), 0);
  int fd2 = socket(AF_UNIX, SOCK_STREAM, 0);
  EXPECT_EQ(bind_fd(fd2, reinterpret_cast<sockaddr *>(&sun), sizeof sun), -11);
  EXPECT_TRUE(log.has(2, std::string("txlib: fd: bind() failed - ") + strerror(EADDRINUSE)));
  close(fd2);
  close(fd);
  EXPECT_EQ(listen_fd(fd, 4), -11);
  EXPECT_TRUE(log.has(2, std::string("txlib: fd: listen() failed - ") + strerror(EBADF)));
}

TEST(ConnectFd, NonBlockingConnectWaitsForTheOutcome) {
  LogCapture log;
  IpcSystem sys;
  sockaddr_in sin = {};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  {
    Listener l(TXC_IPC_TYPE_TCP);
    ASSERT_TRUE(l.ok());
    sin.sin_port = htons(static_cast<uint16_t>(bound_port(l.ipc()->fd)));
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(connect_fd(fd, reinterpret_cast<sockaddr *>(&sin), sizeof sin, 2000), 0)
        << log.dump();
    close(fd);
  }
  // Nobody listens any more: writable or not, a refused connection must be
  // reported as a failure, whether the refusal comes at once or after the
  // wait.
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(connect_fd(fd, reinterpret_cast<sockaddr *>(&sin), sizeof sin, 2000), -11);
  close(fd);
  EXPECT_TRUE(log.has(2, std::string("txlib: fd: connect() failed - ") + strerror(ECONNREFUSED)))
      << log.dump();
}

}  // namespace
