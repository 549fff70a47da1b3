// A library started against one scripted peer, for the protocol tests.
#ifndef TESTS_PROTO_PROTO_FIXTURE_H_
#define TESTS_PROTO_PROTO_FIXTURE_H_

#include <gtest/gtest.h>

#include <string>

#include "support/fd_count.h"
#include "support/log_capture.h"
#include "support/scripted_peer.h"
#include "txc_alloc.h"
#include "txlib/txlib.h"

class Proto : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(txc_startup(TXC_LIB_VERSION, peer_.spec().c_str(), timeout_seconds(), 0), 0)
        << log_.dump();
  }
  void TearDown() override {
    txc_alloc_reset();
    txc_cleanup();
  }
  virtual int timeout_seconds() const { return 5; }

  // The request bytes of the n-th connection (1-based), once it has ended.
  std::string request(size_t n = 1) {
    auto conns = peer_.wait_connections(n);
    return conns.size() >= n ? conns[n - 1].request : std::string("<no connection>");
  }

  LogCapture log_;
  ScriptedPeer peer_;
};

#endif  // TESTS_PROTO_PROTO_FIXTURE_H_
