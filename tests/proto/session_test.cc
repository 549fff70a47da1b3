// Sessions, wire primitives and the library lifecycle.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "proto_fixture.h"
#include "txc_lib_internal.h"

namespace {

using std::string;

TEST_F(Proto, IntegersAreBigEndianBothWays) {
  peer_.add_answer(string("\xff\xff\xff\xfe", 4));
  txc_ipc_t *ipc = openSession(0);
  ASSERT_NE(ipc, nullptr);
  EXPECT_EQ(writeInt(ipc, 258), 0);
  EXPECT_EQ(writeInt(ipc, -3), 0);
  EXPECT_EQ(writeBuf(ipc, "xyz", 3), 0);
  int32_t v = 0;
  EXPECT_EQ(readInt(ipc, &v), 0);
  EXPECT_EQ(v, -2);
  EXPECT_EQ(closeSession(ipc), 0);
  EXPECT_EQ(request(), string("\x00\x00\x01\x02\xff\xff\xff\xfd", 8) + "xyz");
}

TEST_F(Proto, ReadFailsWhenDaemonClosesMidInteger) {
  PeerScript s{string("\x00\x01", 2)};
  s.cut_after = 2;
  peer_.add(s);
  txc_ipc_t *ipc = openSession(0);
  ASSERT_NE(ipc, nullptr);
  int32_t v = 77;
  EXPECT_EQ(readInt(ipc, &v), TXC_ERR_RECV);
  EXPECT_EQ(v, 77);  // nothing stored on failure
  EXPECT_EQ(closeSession(ipc), 0);
}

TEST_F(Proto, ByteByByteAnswerIsReassembled) {
  PeerScript s{be32(429)};
  s.send_chunk = 1;
  s.chunk_delay_us = 2000;
  peer_.add(s);
  int major = -1, minor = -1;
  EXPECT_EQ(txc_daemon_version(&major, &minor), 0);
  EXPECT_EQ(major, 4);
  EXPECT_EQ(minor, 29);
}

class ProtoShortTimeout : public Proto {
 protected:
  int timeout_seconds() const override { return 1; }
};

TEST_F(ProtoShortTimeout, SessionTimeRunsOutWhileDaemonIsSilent) {
  PeerScript s;
  s.silent = true;
  peer_.add(s);
  txc_ipc_t *ipc = openSession(0);
  ASSERT_NE(ipc, nullptr);
  auto start = std::chrono::steady_clock::now();
  int32_t v = 0;
  EXPECT_EQ(readInt(ipc, &v), TXC_ERR_TIMEOUT);
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GT(secs, 0.5);
  EXPECT_LT(secs, 10.0);
  EXPECT_EQ(closeSession(ipc), 0);
}

TEST_F(Proto, LocalScanFlagOnlyWithThePrimary) {
  peer_.add_answer("");
  peer_.add_answer("");
  txc_ipc_t *ipc = openSession(1);
  ASSERT_NE(ipc, nullptr);
  EXPECT_EQ(is_localscan_allowed_by_ipc(ipc), 1);
  closeSession(ipc);
  ipc = openSession(0);
  ASSERT_NE(ipc, nullptr);
  EXPECT_EQ(is_localscan_allowed_by_ipc(ipc), 0);
  closeSession(ipc);
}

TEST(ProtoBackup, BackupServesWithoutLocalScan) {
  LogCapture log;
  ScriptedPeer backup;
  ASSERT_EQ(txc_startup(TXC_LIB_VERSION, "local:/nonexistent/dir/primary.sock", 5, 0), 0);
  ASSERT_EQ(txc_add_address(backup.spec().c_str(), 5, 0), 0);
  backup.add_answer("");
  txc_ipc_t *ipc = openSession(1);
  ASSERT_NE(ipc, nullptr);
  EXPECT_EQ(is_localscan_allowed_by_ipc(ipc), 0);
  closeSession(ipc);
  EXPECT_EQ(backup.wait_connections(1).size(), 1u);
  EXPECT_EQ(txc_cleanup(), 0);
}

TEST(ProtoNoDaemon, NothingConnects) {
  LogCapture log;
  ASSERT_EQ(txc_startup(TXC_LIB_VERSION, "local:/nonexistent/dir/a.sock", 5, 0), 0);
  ASSERT_EQ(txc_add_address("local:/nonexistent/dir/b.sock", 5, 0), 0);
  int fds = open_fd_count();
  EXPECT_EQ(openSession(0), nullptr);
  EXPECT_TRUE(log.has(2, "txlib: cannot create connection with a Tavrix daemon"));
  int major = 0, minor = 0;
  char *text = reinterpret_cast<char *>(1);
  EXPECT_EQ(txc_daemon_version(&major, &minor), TXC_ERR_TRANSPORT);
  EXPECT_EQ(txc_daemon_id(&text), TXC_ERR_TRANSPORT);
  EXPECT_EQ(text, nullptr);
  txc_scanresult *res = nullptr;
  EXPECT_EQ(txc_scan_buffer("abc", 3, 0, &res, 0), TXC_ERR_TRANSPORT);
  EXPECT_EQ(txc_scan_file("/etc/hostname", 13, 1, 0, &res, 0), TXC_ERR_TRANSPORT);
  EXPECT_TRUE(log.has(9, "txlib: scanfile: cannot open scan session with tavrixd"));
  EXPECT_TRUE(log.has(9, "txlib: scanfile failed"));
  EXPECT_EQ(res, nullptr);
  EXPECT_EQ(open_fd_count(), fds);
  EXPECT_EQ(txc_cleanup(), 0);
}

TEST(Lifecycle, StartupVersionChecksAndOrder) {
  LogCapture log;
  ScriptedPeer peer;
  const string spec = peer.spec();
  EXPECT_EQ(txc_startup(1283, spec.c_str(), 0, 0), TXC_ERR_PARAM);
  EXPECT_TRUE(log.has(2,
                      "txlib: startup: library major version (4) and requested (5) is "
                      "different"));
  EXPECT_EQ(txc_startup(TXC_LIB_VERSION, nullptr, 0, 0), TXC_ERR_PARAM);
  EXPECT_TRUE(log.has(2, "txlib: startup: daemon address not specified"));

  EXPECT_EQ(txc_startup(1026, spec.c_str(), 0, 0), 0);
  EXPECT_TRUE(log.has(3,
                      "txlib: startup: library minor version (3) and requested (2) is "
                      "different"));
  // Only the low 16 bits count.
  EXPECT_EQ(txc_startup(0x10000 | TXC_LIB_VERSION, "local:/other", 0, 0), TXC_ERR_ONCE);
  EXPECT_TRUE(log.has(2, "txlib: startup: library already initialized"));
  log.clear();
  EXPECT_EQ(txc_startup(1283, spec.c_str(), 0, 0), TXC_ERR_PARAM);  // major first, even started
  EXPECT_FALSE(log.contains("already initialized"));

  // The first start-up's list is still the one in use.
  peer.add_answer(be32(7));
  int major = -1, minor = -1;
  EXPECT_EQ(txc_daemon_version(&major, &minor), 0);
  EXPECT_EQ(major, 0);
  EXPECT_EQ(minor, 7);

  EXPECT_EQ(txc_cleanup(), 0);
  EXPECT_EQ(txc_cleanup(), TXC_ERR_ONCE);
  EXPECT_TRUE(log.has(2, "txlib: cleanup: library has not been initialized"));
}

TEST(Lifecycle, FailedStartupLeavesNothingAndCanBeRetried) {
  LogCapture log;
  EXPECT_EQ(txc_startup(TXC_LIB_VERSION, "pid:/nonexistent/tavrixd.pid", 0, 0), TXC_ERR_TRANSPORT);
  EXPECT_TRUE(log.has(5,
                      "txlib: startup: cannot create IPC with specification "
                      "<pid:/nonexistent/tavrixd.pid>"));
  int major, minor;
  EXPECT_EQ(txc_daemon_version(&major, &minor), TXC_ERR_NOTINIT);
  EXPECT_EQ(txc_cleanup(), TXC_ERR_ONCE);
  EXPECT_EQ(txc_startup(TXC_LIB_VERSION, "local:/tmp/x.sock", 15000, 0), TXC_ERR_TRANSPORT);

  EXPECT_EQ(txc_add_address("local:/tmp/x.sock", 0, 0), TXC_ERR_TIMEOUT);
  EXPECT_TRUE(log.has(2, "txlib: null args passed to addrlist_add routine"));

  EXPECT_EQ(txc_startup(TXC_LIB_VERSION, "local:/tmp/x.sock", 0, 0), 0);
  EXPECT_EQ(txc_add_address("inet:3000@127.0.0.1", 0, 0), 0);
  EXPECT_EQ(txc_add_address("local:relative", 0, 0), TXC_ERR_TIMEOUT);
  EXPECT_EQ(txc_cleanup(), 0);
  log.clear();
  EXPECT_EQ(txc_add_address("local:/tmp/x.sock", 0, 0), TXC_ERR_TIMEOUT);
  EXPECT_TRUE(log.has(2, "txlib: null args passed to addrlist_add routine"));
}

TEST(Lifecycle, StartupSurvivesEveryAllocationFailure) {
  LogCapture log;
  for (long n = 1;; ++n) {
    txc_alloc_fail_at(n);
    int rc = txc_startup(TXC_LIB_VERSION, "local:/tmp/x.sock", 0, 0);
    long failures = txc_alloc_failures();
    txc_alloc_reset();
    if (failures == 0) {
      EXPECT_EQ(rc, 0);
      EXPECT_EQ(txc_cleanup(), 0);
      break;
    }
    EXPECT_TRUE(rc == TXC_ERR_TRANSPORT || rc == TXC_ERR_TIMEOUT) << n << ": " << rc;
    EXPECT_EQ(txc_cleanup(), TXC_ERR_ONCE);  // nothing left started
    ASSERT_LT(n, 100);
  }
}

}  // namespace

namespace {

// Primitives called outside their contract end the process with the
// checked expression in the log line.
TEST(WireContractDeathTest, PrimitivesCheckTheirArguments) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  txc_log_open("console", 2, 0, 0);
  EXPECT_DEATH(writeInt(nullptr, 1), "ASSERTION in txc_lib\\([0-9]+\\): FATAL ERROR: failed ipc");
  txc_ipc_t fake{};
  char b;
  EXPECT_DEATH(writeBuf(&fake, &b, 0), "failed size > 0");
  EXPECT_DEATH(writeBuf(&fake, nullptr, 1), "failed buf");
  EXPECT_DEATH(readInt(&fake, nullptr), "failed n_ptr");
  EXPECT_DEATH(readOutput(&fake, &b, 0), "failed size > 0");
  txc_log_open("console", 0, 0, 0);
}

}  // namespace
