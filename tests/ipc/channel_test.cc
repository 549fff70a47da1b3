// Channels end to end on loopback: both families, the shared budget, peers
// that stall or go away, server-side bind/listen/accept.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <string>
#include <thread>

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

INSTANTIATE_TEST_SUITE_P(Loopback, FamilyTest,
                         ::testing::Values(int(TXC_IPC_TYPE_TCP), int(TXC_IPC_TYPE_UNIX)),
                         [](const auto &info) {
                           return std::string(info.param == TXC_IPC_TYPE_TCP ? "Tcp" : "Unix");
                         });

}  // namespace
