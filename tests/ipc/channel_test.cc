// Channels end to end on loopback: both families, the shared budget, peers
// that stall or go away, server-side bind/listen/accept.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ipc/txc_ipc.h"
#include "ipc_test_util.h"
#include "support/fd_count.h"
#include "support/log_capture.h"
#include "txc_alloc.h"

namespace {

struct Ends {
  txc_ipc_t *client = nullptr;
  txc_ipc_t *server = nullptr;
  txc_ipc_addr_t *remote = nullptr;
  ~Ends() {
    if (client) delete_ipc(&client);
    if (server) delete_ipc(&server);
    if (remote) delete_ipc_addr(remote);
  }
};

// Connects a client channel with the given budget to the listener and
// accepts the server end (budget -1).
void connect_pair(Listener &l, txc_timeout_t timeout, Ends *e) {
  int type = 0;
  e->remote = create_ipc_addr(l.spec().c_str(), 0, &type);
  ASSERT_NE(e->remote, nullptr);
  ASSERT_EQ(create_ipc(type, nullptr, e->remote, timeout, 1, &e->client), 0);
  ASSERT_EQ(connect_ipc(e->client), 0);
  ASSERT_EQ(accept_ipc(l.ipc(), &e->server, -1), 0);
}

class FamilyTest : public ::testing::TestWithParam<int> {
 protected:
  IpcSystem sys_;
  TempDir dir_;
  std::string sock_path() const { return dir_.path() + "/s"; }
};

TEST_P(FamilyTest, RoundTripBothWays) {
  ASSERT_TRUE(sys_.ok());
  const int fds_before = open_fd_count();
  {
    Listener l(GetParam(), sock_path());
    ASSERT_TRUE(l.ok());
    Ends e;
    connect_pair(l, 2000, &e);
    EXPECT_EQ(e.client->connected, 1);
    EXPECT_EQ(e.server->connected, 1);
    EXPECT_EQ(is_localscan_allowed_by_ipc(e.client), 1);
    EXPECT_EQ(e.server->remote.name_len, 0);

    std::string big(200000, 'x');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 26);
    std::string got(big.size(), '\0');
    // Larger than the socket buffers, so both loops take several steps.
    std::thread peer([&] {
      size_t n = got.size();
      EXPECT_EQ(recv_ipc(e.server, got.data(), &n), 0);
      EXPECT_EQ(n, got.size());
      size_t m = 5;
      EXPECT_EQ(send_ipc(e.server, "hello", &m), 0);
    });
    size_t len = big.size();
    EXPECT_EQ(send_ipc(e.client, big.data(), &len), 0);
    EXPECT_EQ(len, big.size());
    char back[5];
    size_t blen = sizeof back;
    EXPECT_EQ(recv_ipc(e.client, back, &blen), 0);
    peer.join();
    EXPECT_EQ(blen, 5u);
    EXPECT_EQ(std::string(back, 5), "hello");
    EXPECT_TRUE(got == big);
  }
  EXPECT_EQ(open_fd_count(), fds_before);
}

// Each of these tests starts the subsystem through its own fixture.
class ChannelTest : public ::testing::Test {
 protected:
  IpcSystem sys_;
  TempDir dir_;
};

// Sends pieces with pauses in between, from a thread.
std::thread paced_sender(txc_ipc_t *ipc, std::vector<std::pair<int, std::string>> steps,
                         bool close_after = false) {
  return std::thread([ipc, steps, close_after] {
    for (const auto &[pause_ms, data] : steps) {
      std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
      size_t n = data.size();
      send_ipc(ipc, data.data(), &n);
    }
    if (close_after) shutdown(ipc->fd, SHUT_RDWR);
  });
}

TEST_F(ChannelTest, BudgetIsSharedByAllTransfersOfAChannel) {
  ASSERT_TRUE(sys_.ok());
  LogCapture log;
  Listener l(TXC_IPC_TYPE_TCP);
  ASSERT_TRUE(l.ok());
  Ends e;
  connect_pair(l, 1500, &e);
  EXPECT_EQ(e.client->timeout, 1500);  // the connect costs nothing
  std::thread peer = paced_sender(e.server, {{300, "abcd"}, {300, "efgh"}});
  char buf[8];
  size_t len = 4;
  ASSERT_EQ(recv_ipc(e.client, buf, &len), 0);
  const txc_timeout_t after_first = e.client->timeout;
  EXPECT_LE(after_first, 1500 - 250);
  EXPECT_GT(after_first, 0);
  len = 4;
  ASSERT_EQ(recv_ipc(e.client, buf + 4, &len), 0);
  peer.join();
  EXPECT_EQ(std::string(buf, 8), "abcdefgh");
  const txc_timeout_t after_second = e.client->timeout;
  EXPECT_LE(after_second, after_first - 250);
  EXPECT_GT(after_second, 0);

  // The silent peer: the rest of the budget, not a fresh 1500 ms.
  auto t0 = std::chrono::steady_clock::now();
  len = 4;
  EXPECT_EQ(recv_ipc(e.client, buf, &len), -13);
  const long waited = elapsed_ms(t0);
  EXPECT_EQ(len, 0u);
  EXPECT_GE(waited, after_second - 20);
  EXPECT_LT(waited, after_second + 1500);
  EXPECT_TRUE(log.has(2, "txlib: fd: wait for recv failed - timeout expired")) << log.dump();
  EXPECT_TRUE(log.has(2, "txlib: ipc: recv 4 bytes failed (only 0 recv) - timeout expired"));
  EXPECT_EQ(e.client->timeout, -2);

  // Used up: a later transfer ends at once.
  log.clear();
  t0 = std::chrono::steady_clock::now();
  len = 4;
  EXPECT_EQ(send_ipc(e.client, "wxyz", &len), -13);
  EXPECT_EQ(len, 0u);
  EXPECT_LT(elapsed_ms(t0), 500);
  EXPECT_TRUE(log.has(2, "txlib: fd: wait for send failed - timeout expired")) << log.dump();
}

TEST_F(ChannelTest, PiecesFillOneBufferOrRunOutOfBudget) {
  ASSERT_TRUE(sys_.ok());
  LogCapture log;
  Listener l(TXC_IPC_TYPE_UNIX, dir_.path() + "/s");
  ASSERT_TRUE(l.ok());
  const std::string forty(40, 'a'), sixty(60, 'b');
  {
    Ends e;
    connect_pair(l, 3000, &e);
    std::thread peer = paced_sender(e.server, {{0, forty}, {200, sixty}});
    char buf[100];
    size_t len = sizeof buf;
    EXPECT_EQ(recv_ipc(e.client, buf, &len), 0);
    peer.join();
    EXPECT_EQ(len, 100u);
    EXPECT_EQ(std::string(buf, 100), forty + sixty);
    EXPECT_TRUE(log.has(9, "txlib: fd: recv() req=100, readed=40")) << log.dump();
  }
  {
    // A zero budget: the first piece is ready and taken, then the budget
    // is gone before the rest arrives.
    log.clear();
    Ends e;
    connect_pair(l, 0, &e);
    size_t n = forty.size();
    ASSERT_EQ(send_ipc(e.server, forty.data(), &n), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    char buf[100];
    size_t len = sizeof buf;
    EXPECT_EQ(recv_ipc(e.client, buf, &len), -13);
    EXPECT_EQ(len, 40u);
    EXPECT_TRUE(log.has(2, "txlib: ipc: recv 100 bytes failed (only 40 recv) - timeout expired"))
        << log.dump();
  }
  {
    // A peer that goes away in the middle of the buffer.
    log.clear();
    Ends e;
    connect_pair(l, 3000, &e);
    std::thread peer = paced_sender(e.server, {{0, forty}}, true);
    char buf[100];
    size_t len = sizeof buf;
    EXPECT_EQ(recv_ipc(e.client, buf, &len), -11);
    peer.join();
    EXPECT_EQ(len, 40u);
    EXPECT_TRUE(log.contains("connection closed by remote side")) << log.dump();
  }
}

TEST_F(ChannelTest, NoLimitNeverReadsTheClockAndZeroLengthTouchesNothing) {
  ASSERT_TRUE(sys_.ok());
  LogCapture log;
  Listener l(TXC_IPC_TYPE_TCP);
  ASSERT_TRUE(l.ok());
  Ends e;
  connect_pair(l, -1, &e);
  std::thread peer = paced_sender(e.server, {{100, "x"}});
  char c;
  size_t len = 1;
  EXPECT_EQ(recv_ipc(e.client, &c, &len), 0);
  peer.join();
  EXPECT_EQ(e.client->timeout, -1);

  // Zero bytes: no system call, so even a closed slot is fine.
  txc_ipc_t rec = {};
  rec.fd = -1;
  rec.timeout = -2;
  len = 0;
  log.clear();
  EXPECT_EQ(send_ipc(&rec, "", &len), 0);
  EXPECT_EQ(recv_ipc(&rec, &c, &len), 0);
  // A budget outside the valid range is refused quietly.
  rec.timeout = -3;
  len = 1;
  EXPECT_EQ(send_ipc(&rec, "x", &len), -13);
  EXPECT_EQ(len, 1u);
  EXPECT_TRUE(log.lines().empty()) << log.dump();
}

TEST_F(ChannelTest, PeerGoneOnSendIsAFailureNotASignal) {
  ASSERT_TRUE(sys_.ok());
  LogCapture log;
  Listener l(TXC_IPC_TYPE_UNIX, dir_.path() + "/s");
  ASSERT_TRUE(l.ok());
  Ends e;
  connect_pair(l, 2000, &e);
  delete_ipc(&e.server);
  std::string data(1 << 20, 'q');
  size_t len = data.size();
  EXPECT_EQ(send_ipc(e.client, data.data(), &len), -11);
  EXPECT_LT(len, data.size());
  EXPECT_TRUE(log.contains("txlib: fd: send() failed - ")) << log.dump();
}

TEST_F(ChannelTest, HostNameResolvedForEveryChannel) {
  ASSERT_TRUE(sys_.ok());
  LogCapture log;
  Listener l(TXC_IPC_TYPE_TCP);
  ASSERT_TRUE(l.ok());
  const int port = bound_port(l.ipc()->fd);
  int type = 0;
  txc_ipc_addr_t *remote =
      create_ipc_addr(("inet:" + std::to_string(port) + "@localhost").c_str(), 0, &type);
  ASSERT_NE(remote, nullptr);
  for (int round = 0; round < 2; ++round) {
    log.clear();
    txc_ipc_t *c = nullptr;
    ASSERT_EQ(create_ipc(type, nullptr, remote, 1000, 0, &c), 0) << log.dump();
    EXPECT_TRUE(log.has(9, "txlib: tcp: call resolver for localhost")) << log.dump();
    EXPECT_NE(c->remote.addr.in.sin_addr.s_addr, 0u);
    EXPECT_EQ(connect_ipc(c), 0) << log.dump();
    EXPECT_TRUE(
        log.has(5, "txlib: tcp: connecting to 127.0.0.1:" + std::to_string(port) + " - done"))
        << log.dump();
    txc_ipc_t *s = nullptr;
    EXPECT_EQ(accept_ipc(l.ipc(), &s, -1), 0);
    delete_ipc(&s);
    delete_ipc(&c);
  }
  // The list's own record is never changed.
  EXPECT_EQ(remote->addr.in.sin_addr.s_addr, 0u);
  delete_ipc_addr(remote);
}

TEST_F(ChannelTest, FailuresLeaveNothingOpen) {
  ASSERT_TRUE(sys_.ok());
  LogCapture log;
  const int fds = open_fd_count();
  int type = 0;
  txc_ipc_addr_t *bad = create_ipc_addr("inet:3000@no-such-host.invalid", 0, &type);
  ASSERT_NE(bad, nullptr);
  txc_ipc_t *c = nullptr;
  EXPECT_EQ(create_ipc(type, nullptr, bad, 1000, 0, &c), -11);
  EXPECT_EQ(c, nullptr);
  EXPECT_TRUE(log.has(2, "txlib: ipc: cannot resolve remote hostname no-such-host.invalid"));
  EXPECT_EQ(create_ipc(type, bad, nullptr, 1000, 0, &c), -11);
  EXPECT_TRUE(log.has(2, "txlib: ipc: cannot resolve local hostname no-such-host.invalid"));
  delete_ipc_addr(bad);
  EXPECT_EQ(open_fd_count(), fds);

  // Out of memory for the record.
  txc_alloc_fail_at(1);
  EXPECT_EQ(create_ipc(TXC_IPC_TYPE_UNIX, nullptr, nullptr, 1000, 0, &c), -2);
  txc_alloc_fail_at(0);
  EXPECT_EQ(c, nullptr);

  // Nobody at the other end, for both families.
  txc_ipc_addr_t *nobody = create_ipc_addr(("local:" + dir_.path() + "/nobody").c_str(), 0, &type);
  ASSERT_EQ(create_ipc(type, nullptr, nobody, 1000, 0, &c), 0);
  EXPECT_EQ(connect_ipc(c), -11);
  EXPECT_EQ(c->connected, 0);
  EXPECT_TRUE(log.has(2, "txlib: unix: connect() to " + dir_.path() + "/nobody failed"));
  EXPECT_EQ(delete_ipc(&c), 0);
  delete_ipc_addr(nobody);

  int port;
  {
    Listener gone(TXC_IPC_TYPE_TCP);
    ASSERT_TRUE(gone.ok());
    port = bound_port(gone.ipc()->fd);
  }
  const std::string where = "127.0.0.1:" + std::to_string(port);
  nobody = create_ipc_addr(("inet:" + std::to_string(port) + "@127.0.0.1").c_str(), 1, &type);
  ASSERT_EQ(create_ipc(type, nullptr, nobody, 1000, 0, &c), 0);
  EXPECT_EQ(connect_ipc(c), -11);
  EXPECT_TRUE(log.has(2, "txlib: tcp: connecting to " + where + " - failed")) << log.dump();
  EXPECT_EQ(delete_ipc(&c), 0);
  delete_ipc_addr(nobody);

  // A failed accept gives no channel.
  {
    Listener l(TXC_IPC_TYPE_TCP);
    ASSERT_TRUE(l.ok());
    fcntl(l.ipc()->fd, F_SETFL, fcntl(l.ipc()->fd, F_GETFL) | O_NONBLOCK);
    txc_ipc_t *s = nullptr;
    EXPECT_EQ(accept_ipc(l.ipc(), &s, 1000), -11);
    EXPECT_EQ(s, nullptr);
  }
  EXPECT_EQ(open_fd_count(), fds);
}

TEST_F(ChannelTest, AcceptUsesExactlyOneDescriptorPerConnection) {
  ASSERT_TRUE(sys_.ok());
  Listener l(TXC_IPC_TYPE_UNIX, dir_.path() + "/s");
  ASSERT_TRUE(l.ok());
  int type = 0;
  txc_ipc_addr_t *remote = create_ipc_addr(l.spec().c_str(), 0, &type);
  ASSERT_NE(remote, nullptr);
  txc_ipc_t *c = nullptr;
  ASSERT_EQ(create_ipc(type, nullptr, remote, 1000, 0, &c), 0);
  ASSERT_EQ(connect_ipc(c), 0);
  const int before = open_fd_count();
  txc_ipc_t *s = nullptr;
  ASSERT_EQ(accept_ipc(l.ipc(), &s, 700), 0);
  EXPECT_EQ(open_fd_count(), before + 1);
  EXPECT_EQ(s->timeout, 700);
  EXPECT_EQ(s->type, TXC_IPC_TYPE_UNIX);
  EXPECT_EQ(s->bound, 0);
  EXPECT_STREQ(s->local.name, l.ipc()->local.name);
  delete_ipc(&s);
  EXPECT_EQ(open_fd_count(), before);
  delete_ipc(&c);
  delete_ipc_addr(remote);
}

TEST_F(ChannelTest, BoundUnixChannelRemovesItsFileOnly) {
  ASSERT_TRUE(sys_.ok());
  const std::string path = dir_.path() + "/s";
  struct stat st;
  {
    Listener l(TXC_IPC_TYPE_UNIX, path);
    ASSERT_TRUE(l.ok());
    {
      // Deleting the client end and the accepted end leaves the file.
      Ends e;
      connect_pair(l, 1000, &e);
    }
    EXPECT_EQ(stat(path.c_str(), &st), 0);
  }
  EXPECT_NE(stat(path.c_str(), &st), 0);
  EXPECT_EQ(errno, ENOENT);
}

TEST_F(ChannelTest, StatesAndCallerRecords) {
  ASSERT_TRUE(sys_.ok());
  LogCapture log;
  Listener l(TXC_IPC_TYPE_TCP);
  ASSERT_TRUE(l.ok());
  EXPECT_EQ(connect_ipc(l.ipc()), -9);
  EXPECT_EQ(bind_ipc(l.ipc()), -8);
  EXPECT_EQ(listen_ipc(l.ipc(), 5), -8);

  Ends e;
  connect_pair(l, 1000, &e);
  EXPECT_EQ(listen_ipc(e.client, 5), -8);
  txc_ipc_t *s = nullptr;
  EXPECT_EQ(accept_ipc(e.client, &s, 1000), -9);
  EXPECT_EQ(s, nullptr);

  txc_ipc_t *none = nullptr;
  EXPECT_EQ(delete_ipc(&none), -4);

  // A record of the caller's own: reused, its socket closed, kept itself.
  const int fds = open_fd_count();
  txc_ipc_t rec;
  memset(&rec, 0x5a, sizeof rec);
  txc_ipc_t *p = &rec;
  ASSERT_EQ(create_ipc(TXC_IPC_TYPE_UNIX, nullptr, nullptr, 100, 7, &p), 0);
  EXPECT_EQ(p, &rec);
  EXPECT_EQ(rec.allocated, 0);
  EXPECT_EQ(rec.connected | rec.bound | rec.listening | rec.nonblocking, 0);
  EXPECT_EQ(rec.local.name_len, 0);
  EXPECT_EQ(rec.remote.addr.un.sun_family, AF_UNIX);
  EXPECT_EQ(is_localscan_allowed_by_ipc(&rec), 7);
  EXPECT_GE(rec.fd, 0);
  EXPECT_EQ(open_fd_count(), fds + 1);
  EXPECT_EQ(delete_ipc(&p), 0);
  EXPECT_EQ(p, &rec);
  EXPECT_EQ(rec.fd, -1);
  EXPECT_EQ(open_fd_count(), fds);
  // Deleting again is harmless.
  EXPECT_EQ(delete_ipc(&p), 0);
  EXPECT_TRUE(log.has(9, "txlib: unix: close() failed - closed socket"));
  rec.type = 9;
  EXPECT_EQ(delete_ipc(&p), -4);
}

TEST(IpcSystemTest, StartAndStop) {
  LogCapture log;
  struct sigaction dfl = {}, now = {};
  dfl.sa_handler = SIG_DFL;
  sigaction(SIGPIPE, &dfl, nullptr);

  EXPECT_EQ(deinit_ipc_system(), -9);
  EXPECT_TRUE(log.has(2, "txlib: ipc: subsystem is not initialized"));
  ASSERT_EQ(init_ipc_system(), 0);
  sigaction(SIGPIPE, nullptr, &now);
  EXPECT_EQ(now.sa_handler, SIG_IGN);
  EXPECT_EQ(init_ipc_system(), -8);
  EXPECT_TRUE(log.has(2, "txlib: ipc: system has already been initialized"));
  sigaction(SIGPIPE, nullptr, &now);
  EXPECT_EQ(now.sa_handler, SIG_IGN);  // the first start-up still holds
  EXPECT_EQ(deinit_ipc_system(), 0);
  sigaction(SIGPIPE, nullptr, &now);
  EXPECT_EQ(now.sa_handler, SIG_DFL);
  EXPECT_EQ(init_ipc_system(), 0);
  EXPECT_EQ(deinit_ipc_system(), 0);
}

TEST(IpcSystemTest, NoTransportBeforeTheFirstStart) {
  // Run in a fresh copy of the program, where nothing has started yet.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        txc_ipc_t *c = nullptr;
        const int tcp = create_ipc(TXC_IPC_TYPE_TCP, nullptr, nullptr, 100, 0, &c);
        const int unx = create_ipc(TXC_IPC_TYPE_UNIX, nullptr, nullptr, 100, 0, &c);
        _exit(tcp == -4 && unx == -4 && c == nullptr ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(IpcContract, ViolationsEndTheProcess) {
  IpcSystem sys;
  txc_ipc_t *c = nullptr;
  EXPECT_DEATH(create_ipc(TXC_IPC_TYPE_TCP, nullptr, nullptr, 14400001, 0, &c),
               "timeout <= 14400000");
  EXPECT_DEATH(create_ipc(TXC_IPC_TYPE_TCP, nullptr, nullptr, -3, 0, &c), "-2 <= timeout");
  EXPECT_DEATH(create_ipc(TXC_IPC_TYPE_MAX, nullptr, nullptr, 0, 0, &c), "type < TXC_IPC_TYPE_MAX");
  EXPECT_DEATH(create_ipc(TXC_IPC_TYPE_TCP, nullptr, nullptr, 0, 0, nullptr), "ipc");
  ASSERT_EQ(create_ipc(TXC_IPC_TYPE_TCP, nullptr, nullptr, 0, 0, &c), 0);
  EXPECT_DEATH(listen_ipc(c, 0), "backlog > 0");
  EXPECT_DEATH(accept_ipc(c, &c, 14400001), "timeout");
  EXPECT_DEATH(send_ipc(c, nullptr, nullptr), "buf");
  delete_ipc(&c);
}

INSTANTIATE_TEST_SUITE_P(Loopback, FamilyTest,
                         ::testing::Values(int(TXC_IPC_TYPE_TCP), int(TXC_IPC_TYPE_UNIX)),
                         [](const auto &info) {
                           return std::string(info.param == TXC_IPC_TYPE_TCP ? "Tcp" : "Unix");
                         });

}  // namespace
