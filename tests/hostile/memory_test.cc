// Memory follows what arrived: a daemon that announces a 2 GiB string and
// sends ten bytes must cost the client a few KiB. The library's heap use is
// measured at the allocator itself (this test links with --wrap=malloc and
// friends), counting only the calling thread.
#include <gtest/gtest.h>
#include <malloc.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "hostile_calls.h"
#include "support/log_capture.h"
#include "support/scripted_peer.h"
#include "txlib/txlib.h"

extern "C" {
void *__real_malloc(size_t n);
void *__real_calloc(size_t n, size_t m);
void *__real_realloc(void *p, size_t n);
void __real_free(void *p);
}

namespace {

thread_local bool t_counting = false;
int64_t g_live = 0;
int64_t g_peak = 0;
size_t g_largest = 0;  // the largest single request

void note(void *p, size_t asked) {
  if (!t_counting) return;
  g_largest = std::max(g_largest, asked);
  if (p == nullptr) return;
  g_live += static_cast<int64_t>(malloc_usable_size(p));
  g_peak = std::max(g_peak, g_live);
}

void unnote(void *p) {
  if (t_counting && p != nullptr) g_live -= static_cast<int64_t>(malloc_usable_size(p));
}

}  // namespace

extern "C" {
void *__wrap_malloc(size_t n) {
  void *p = __real_malloc(n);
  note(p, n);
  return p;
}
void *__wrap_calloc(size_t n, size_t m) {
  void *p = __real_calloc(n, m);
  note(p, n * m);
  return p;
}
void *__wrap_realloc(void *p, size_t n) {
  size_t old = (t_counting && p != nullptr) ? malloc_usable_size(p) : 0;
  void *q = __real_realloc(p, n);
  if (t_counting && q != nullptr) g_live -= static_cast<int64_t>(old);
  note(q, n);
  return q;
}
void __wrap_free(void *p) {
  unnote(p);
  __real_free(p);
}
}

namespace {

struct Peak {
  int64_t peak;
  size_t largest;
};

// Peak of live heap bytes and the largest request made while fn runs.
Peak measure(const std::function<void()> &fn) {
  g_live = g_peak = 0;
  g_largest = 0;
  t_counting = true;
  fn();
  t_counting = false;
  return {g_peak, g_largest};
}

class Memory : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(txc_startup(TXC_LIB_VERSION, peer_.spec().c_str(), 5, 0), 0); }
  void TearDown() override { txc_cleanup(); }
  // Plays the answer, then the daemon goes away.
  void answer_and_close(const Call &c, const std::string &a) {
    PeerScript s{a};
    s.wait_for = request_of(c, obj_).size();
    s.cut_after = a.size();
    peer_.add(s);
  }
  LogCapture log_;
  ScriptedPeer peer_;
  ScanObject obj_;
};

const std::string kTen = "0123456789";

TEST_F(Memory, AnnouncedHugeLengthsCostOnlyWhatArrived) {
  const int64_t kHuge = INT32_MAX;  // 2 GiB less one byte
  struct Case {
    const char *what;
    Call call;
    std::string answer;
  };
  const Case cases[] = {
      {"identification text", {CallKind::kId, 0}, be32(kHuge) + kTen},
      {"base name", {CallKind::kBases, 0}, be32(1) + be32(kHuge) + kTen},
      {"virus name",
       {CallKind::kBuffer, TXC_RETURN_VIRUSES},
       be32(0x20) + be32(1) + be32(kHuge) + kTen},
      {"report line",
       {CallKind::kBuffer, TXC_RETURN_REPORT},
       be32(0) + be32(1) + be32(kHuge) + kTen},
      {"string count",
       {CallKind::kBuffer, TXC_RETURN_VIRUSES},
       be32(0) + be32(kHuge) + wire_string("V")},
      {"base count", {CallKind::kBases, 0}, be32(kHuge) + wire_string("b") + be32(1)},
  };
  for (const Case &c : cases) {
    answer_and_close(c.call, c.answer);
    Outcome o;
    Peak p = measure([&] { o = run_call(c.call, obj_); });
    EXPECT_EQ(o.rc, TXC_ERR_TRANSPORT) << c.what;
    std::printf(
        "[ memory ] %s of 2 GiB announced, 10 bytes sent: peak %lld bytes, largest "
        "request %zu bytes\n",
        c.what, static_cast<long long>(p.peak), p.largest);
    EXPECT_LT(p.largest, 16u * 1024) << c.what;
    EXPECT_LT(p.peak, 32 * 1024) << c.what;
  }
}

TEST_F(Memory, RealDataIsCountedAsItArrives) {
  // The counter must see a string that really arrives, or the test above
  // would pass for nothing.
  const std::string big(4 << 20, 'x');
  answer_and_close({CallKind::kId, 0}, wire_string(big));
  Outcome o;
  Peak p = measure([&] { o = run_call({CallKind::kId, 0}, obj_); });
  ASSERT_EQ(o.rc, 0);
  EXPECT_EQ(o.summary.size(), 3 + big.size());
  EXPECT_GE(p.peak, static_cast<int64_t>(big.size()));
  // Growing as it arrives costs at most about twice the text.
  EXPECT_LT(p.peak, static_cast<int64_t>(3 * big.size()));
  std::printf("[ memory ] 4 MiB identification text received: peak %lld bytes\n",
              static_cast<long long>(p.peak));
}

}  // namespace
