// The three information queries: requests, answers, cut answers, want of
// memory.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <string>

#include "proto_fixture.h"

namespace {

using std::string;

string bases_answer() {
  return be32(2) + wire_string("A") + be32(10) + wire_string("B") + be32(20);
}

TEST_F(Proto, VersionQuery) {
  peer_.add_answer(be32(429));
  peer_.add_answer(be32(-429));
  int major = -1, minor = -1;
  EXPECT_EQ(txc_daemon_version(&major, &minor), 0);
  EXPECT_EQ(request(1), be32(TXC_CMD_VERSION));
  EXPECT_EQ(major, 4);
  EXPECT_EQ(minor, 29);
  EXPECT_EQ(txc_daemon_version(&major, &minor), 0);
  EXPECT_EQ(major, -4);  // division truncates toward zero
  EXPECT_EQ(minor, -29);
}

TEST_F(Proto, IdQuery) {
  peer_.add_answer(wire_string("abcde"));
  peer_.add_answer(wire_string(""));
  peer_.add_answer(be32(-1));
  char *id = nullptr;
  EXPECT_EQ(txc_daemon_id(&id), 0);
  EXPECT_EQ(request(1), be32(TXC_CMD_IDSTRING));
  ASSERT_NE(id, nullptr);
  EXPECT_EQ(string(id), "abcde");
  free(id);
  EXPECT_EQ(txc_daemon_id(&id), 0);  // a length of 0 is an empty text
  ASSERT_NE(id, nullptr);
  EXPECT_STREQ(id, "");
  free(id);
  EXPECT_EQ(txc_daemon_id(&id), TXC_ERR_TRANSPORT);  // negative length
  EXPECT_EQ(id, nullptr);
}

TEST_F(Proto, LongIdArrivesInPieces) {
  string big(300000, 'x');
  big[123456] = 'y';
  peer_.add_answer(wire_string(big));
  char *id = nullptr;
  EXPECT_EQ(txc_daemon_id(&id), 0);
  ASSERT_NE(id, nullptr);
  EXPECT_EQ(string(id), big);
  free(id);
}

TEST_F(Proto, HugeIdLengthDoesNotAllocateUpFront) {
  // The daemon announces 2 GiB and then closes: the call fails without
  // having tried to get 2 GiB of memory.
  PeerScript s{be32(INT_MAX) + "abc"};
  s.cut_after = 7;
  peer_.add(s);
  char *id = nullptr;
  EXPECT_EQ(txc_daemon_id(&id), TXC_ERR_TRANSPORT);
  EXPECT_EQ(id, nullptr);
}

TEST_F(Proto, BasesQuery) {
  peer_.add_answer(bases_answer());
  peer_.add_answer(be32(0));
  peer_.add_answer(be32(1) + wire_string("") + be32(-5));
  char *text = nullptr;
  int total = -1;
  EXPECT_EQ(txc_daemon_bases(&text, &total), 0);
  EXPECT_EQ(request(1), be32(TXC_CMD_BASES));
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(string(text), "Base A contain 10 records.\nBase B contain 20 records.\n");
  EXPECT_EQ(total, 30);
  free(text);
  EXPECT_EQ(txc_daemon_bases(&text, &total), 0);
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text, "");
  EXPECT_EQ(total, 0);
  free(text);
  EXPECT_EQ(txc_daemon_bases(&text, &total), 0);
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text, "Base  contain -5 records.\n");
  EXPECT_EQ(total, -5);
  free(text);
}

TEST_F(Proto, BasesHostileCountEndsWhenDataEnds) {
  PeerScript s{be32(INT_MAX) + wire_string("A") + be32(1)};
  s.cut_after = s.answer.size();
  peer_.add(s);
  char *text = reinterpret_cast<char *>(1);
  int total = -1;
  EXPECT_EQ(txc_daemon_bases(&text, &total), TXC_ERR_TRANSPORT);
  EXPECT_EQ(text, nullptr);
  EXPECT_EQ(total, 1);  // the bases read before the failure
}

TEST_F(Proto, QueriesCheckStateAndArgumentsBeforeSending) {
  char *text = nullptr;
  int n = 0;
  EXPECT_EQ(txc_daemon_version(nullptr, &n), TXC_ERR_PARAM);
  EXPECT_TRUE(log_.has(2, "txlib: null major or minor version storage passed"));
  EXPECT_EQ(txc_daemon_id(nullptr), TXC_ERR_PARAM);
  EXPECT_TRUE(log_.has(2, "txlib: null storage for ID string passed"));
  EXPECT_EQ(txc_daemon_bases(&text, nullptr), TXC_ERR_PARAM);
  EXPECT_TRUE(log_.has(2, "txlib: null storage for list of bases passed"));
  EXPECT_EQ(txc_cleanup(), 0);
  EXPECT_EQ(txc_daemon_version(&n, &n), TXC_ERR_NOTINIT);
  EXPECT_EQ(txc_daemon_id(&text), TXC_ERR_NOTINIT);
  EXPECT_EQ(txc_daemon_bases(&text, &n), TXC_ERR_NOTINIT);
  EXPECT_EQ(log_.count("txlib: library is not initialized"), 3);
  EXPECT_EQ(peer_.accepted(), 0u);
  ASSERT_EQ(txc_startup(TXC_LIB_VERSION, peer_.spec().c_str(), 5, 0), 0);
}

// Every query answer cut after every possible number of bytes fails with
// -2, keeps no output and leaves no descriptor open.
TEST_F(Proto, CutAnswersFailCleanly) {
  const string answers[] = {be32(429), wire_string("tavrixd 4.29"), bases_answer()};
  for (int kind = 0; kind < 3; ++kind) {
    const string &a = answers[kind];
    for (size_t cut = 0; cut < a.size(); ++cut) {
      PeerScript s{a};
      s.wait_for = 4;
      s.cut_after = cut;
      peer_.add(s);
      size_t before = peer_.wait_connections(0).size();
      int fds = open_fd_count();
      int rc = 0;
      if (kind == 0) {
        int major = 0, minor = 0;
        rc = txc_daemon_version(&major, &minor);
      } else if (kind == 1) {
        char *id = reinterpret_cast<char *>(1);
        rc = txc_daemon_id(&id);
        EXPECT_EQ(id, nullptr);
      } else {
        char *text = reinterpret_cast<char *>(1);
        int total = 0;
        rc = txc_daemon_bases(&text, &total);
        EXPECT_EQ(text, nullptr);
      }
      EXPECT_EQ(rc, TXC_ERR_TRANSPORT) << "kind " << kind << " cut " << cut;
      peer_.wait_connections(before + 1);
      EXPECT_EQ(open_fd_count(), fds) << "kind " << kind << " cut " << cut;
    }
  }
}

// Every allocation of a query made to fail in turn: a documented code,
// no output, nothing leaked (the sanitizer build checks the last part).
TEST_F(Proto, QueriesSurviveEveryAllocationFailure) {
  for (int kind = 0; kind < 2; ++kind) {
    peer_.set_default(PeerScript{kind == 0 ? wire_string("tavrixd") : bases_answer()});
    for (long n = 1;; ++n) {
      txc_alloc_fail_at(n);
      char *text = reinterpret_cast<char *>(1);
      int total = 0;
      int rc = kind == 0 ? txc_daemon_id(&text) : txc_daemon_bases(&text, &total);
      long failures = txc_alloc_failures();
      txc_alloc_reset();
      if (failures == 0) {
        EXPECT_EQ(rc, 0);
        ASSERT_NE(text, nullptr);
        free(text);
        break;
      }
      EXPECT_TRUE(rc == TXC_ERR_TRANSPORT || rc == TXC_ERR_NOMEM) << kind << "/" << n << ": " << rc;
      EXPECT_EQ(text, nullptr) << kind << "/" << n;
      ASSERT_LT(n, 100);
    }
  }
  EXPECT_TRUE(log_.contains("txlib: txc_lib("));
}

}  // namespace
