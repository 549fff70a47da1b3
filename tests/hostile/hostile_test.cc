// A daemon that is buggy, dying or hostile, thrown at every call that talks
// to it: answers cut at every byte, resets, early closes, absurd counts and
// lengths, and a drip feed against the session timeout. Every case must give
// the failure code with nothing handed out, and leave no descriptor open.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <functional>
#include <thread>

#include "hostile_calls.h"
#include "support/fd_count.h"
#include "support/log_capture.h"
#include "support/scripted_peer.h"
#include "txlib/txlib.h"

namespace {

using std::string;

// Scenarios tried, printed at the end of the run for the record.
int g_scenarios = 0;

class Hostile : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(txc_startup(TXC_LIB_VERSION, peer_.spec().c_str(), timeout_seconds(), 0), 0);
  }
  void TearDown() override { txc_cleanup(); }
  virtual int timeout_seconds() const { return 5; }

  // Runs the call against one scripted connection; checks the common rules.
  Outcome against(const Call &c, PeerScript script, const string &what) {
    size_t before = peer_.wait_connections(0).size();
    peer_.add(std::move(script));
    int fds = open_fd_count();
    Outcome o = run_call(c, obj_);
    // The peer closes its end when it is done; wait so that counts agree.
    peer_.wait_connections(before + 1);
    EXPECT_EQ(open_fd_count(), fds) << c.label() << " " << what;
    if (o.rc != 0) {
      EXPECT_TRUE(o.outputs_cleared) << c.label() << " " << what;
    }
    ++g_scenarios;
    return o;
  }

  LogCapture log_;
  ScriptedPeer peer_;
  ScanObject obj_;
};

std::vector<Call> every_call_and_combination() {
  std::vector<Call> calls = all_calls();
  for (const Call &c : buffer_combinations()) calls.push_back(c);
  return calls;
}

TEST_F(Hostile, AnswerCutAtEveryByteFailsEveryCall) {
  for (const Call &c : every_call_and_combination()) {
    const string answer = answer_of(c, obj_);
    const string request = request_of(c, obj_);
    for (size_t cut = 0; cut < answer.size(); ++cut) {
      PeerScript s{answer};
      s.wait_for = request.size();
      s.cut_after = cut;
      Outcome o = against(c, s, "cut at " + std::to_string(cut));
      EXPECT_EQ(o.rc, TXC_ERR_TRANSPORT) << c.label() << " cut at " << cut << ": " << o.summary;
    }
    // The same answer whole, and with trailing bytes the call never asked for.
    for (const string &tail : {string(), string("\x00\x00\x00\x07garbage", 11)}) {
      PeerScript s{answer + tail};
      s.wait_for = request.size();
      Outcome o = against(c, s, "whole");
      EXPECT_EQ(o.rc, 0) << c.label() << "\n" << log_.dump();
      EXPECT_EQ(o.summary, expected_summary(c, obj_)) << c.label();
    }
    EXPECT_EQ(peer_.wait_connections(0).back().request, request) << c.label();
  }
}

// A peer that does one raw thing to each connection: reset it, close it
// before reading, or half-close it.
class RawPeer {
 public:
  using Action = std::function<void(int fd)>;
  RawPeer() {
    char tmpl[] = "/tmp/txraw.XXXXXX";
    dir_ = mkdtemp(tmpl);
    path_ = dir_ + "/sock";
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path_.c_str());
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    EXPECT_EQ(listen(fd_, 4), 0);
  }
  ~RawPeer() {
    close(fd_);
    unlink(path_.c_str());
    rmdir(dir_.c_str());
  }
  // Serves exactly one connection with the action, in a thread.
  std::thread serve_one(Action act) {
    return std::thread([this, act] {
      int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) return;
      act(c);
      close(c);
    });
  }
  string spec() const { return "local:" + path_; }

 private:
  string dir_, path_;
  int fd_ = -1;
};

void reset(int fd) {
  linger l{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
}

void read_n(int fd, size_t n) {
  char buf[4096];
  while (n > 0) {
    ssize_t k = recv(fd, buf, std::min(n, sizeof buf), 0);
    if (k <= 0) return;
    n -= static_cast<size_t>(k);
  }
}

void send_all(int fd, const string &s) { (void)!send(fd, s.data(), s.size(), MSG_NOSIGNAL); }

TEST(HostileRaw, ResetsAndEarlyClosesFailEveryCall) {
  LogCapture log;
  RawPeer peer;
  ScanObject obj;
  ASSERT_EQ(txc_startup(TXC_LIB_VERSION, peer.spec().c_str(), 5, 0), 0);
  for (const Call &c : every_call_and_combination()) {
    const string request = request_of(c, obj);
    const string answer = answer_of(c, obj);
    const std::vector<std::pair<string, RawPeer::Action>> faults = {
        {"closed before reading the request", [](int) {}},
        {"reset before reading the request", [](int fd) { reset(fd); }},
        {"reset after the request",
         [&](int fd) {
           read_n(fd, request.size());
           reset(fd);
         }},
        {"reset halfway through the answer",
         [&](int fd) {
           read_n(fd, request.size());
           send_all(fd, answer.substr(0, answer.size() / 2));
           reset(fd);
         }},
        {"half-closed with no answer",
         [&](int fd) {
           read_n(fd, request.size());
           shutdown(fd, SHUT_WR);
           read_n(fd, SIZE_MAX);
         }},
    };
    for (const auto &[what, act] : faults) {
      int fds = open_fd_count();
      std::thread t = peer.serve_one(act);
      Outcome o = run_call(c, obj);
      t.join();
      ++g_scenarios;
      EXPECT_EQ(o.rc, TXC_ERR_TRANSPORT) << c.label() << ": " << what << " " << o.summary;
      EXPECT_TRUE(o.outputs_cleared) << c.label() << ": " << what;
      EXPECT_EQ(open_fd_count(), fds) << c.label() << ": " << what;
    }
  }
  EXPECT_EQ(txc_cleanup(), 0);
}

// Answers whose counts and lengths are extreme. Each case: the call, the
// answer, the code it must give, and (on success) the summary.
struct Extreme {
  Call call;
  string answer;
  int rc;
  string summary;  // checked when not empty
};

constexpr int kV = TXC_RETURN_VIRUSES;
constexpr int kR = TXC_RETURN_REPORT;
constexpr int kC = TXC_RETURN_CODES;

string noreport() {
  return " report <Tavrix Daemon report was not requested in this configuration.>";
}

TEST_F(Hostile, ExtremeCountsAndLengths) {
  const Call version{CallKind::kVersion, 0}, id{CallKind::kId, 0}, bases{CallKind::kBases, 0};
  const Call sv{CallKind::kBuffer, kV}, sr{CallKind::kBuffer, kR}, sc{CallKind::kBuffer, kC};
  const string ten = "0123456789";
  const std::vector<Extreme> cases = {
      {version, be32(INT32_MIN), 0, "v -21474836.-48"},
      {version, be32(INT32_MAX), 0, "v 21474836.47"},
      {version, be32(-1), 0, "v 0.-1"},
      {version, be32(0), 0, "v 0.0"},
      {id, be32(0), 0, "id "},
      {id, be32(-1), TXC_ERR_TRANSPORT, ""},
      {id, be32(INT32_MIN), TXC_ERR_TRANSPORT, ""},
      {id, be32(INT32_MAX) + ten, TXC_ERR_TRANSPORT, ""},
      {id, be32(0x40000000) + ten, TXC_ERR_TRANSPORT, ""},
      {id, be32(11) + ten, TXC_ERR_TRANSPORT, ""},
      {bases, be32(0), 0, "bases |total 0"},
      {bases, be32(-1), 0, "bases |total 0"},
      {bases, be32(INT32_MIN), 0, "bases |total 0"},
      {bases, be32(INT32_MAX) + wire_string("a") + be32(1), TXC_ERR_TRANSPORT, ""},
      {bases, be32(1) + be32(-1), TXC_ERR_TRANSPORT, ""},
      {bases, be32(1) + be32(INT32_MIN), TXC_ERR_TRANSPORT, ""},
      {bases, be32(1) + be32(INT32_MAX) + ten, TXC_ERR_TRANSPORT, ""},
      {bases, be32(1) + be32(0) + be32(INT32_MIN), 0,
       "bases Base  contain -2147483648 records.\n|total -2147483648"},
      // Record counts that would overflow the total stop at the edge.
      {bases, be32(2) + wire_string("a") + be32(INT32_MAX) + wire_string("b") + be32(INT32_MAX), 0,
       "bases Base a contain 2147483647 records.\nBase b contain 2147483647 records.\n"
       "|total 2147483647"},
      {sv, be32(-1) + be32(0), 0,
       "status 4294967295 viruses []" + noreport() + " stats 0/0/0/0/0/0/0"},
      {sv, be32(0) + be32(-1), 0, "status 0 viruses []" + noreport() + " stats 0/0/0/0/0/0/0"},
      {sv, be32(0) + be32(INT32_MIN), 0,
       "status 0 viruses []" + noreport() + " stats 0/0/0/0/0/0/0"},
      {sv, be32(0) + be32(INT32_MAX) + wire_string("V"), TXC_ERR_TRANSPORT, ""},
      {sv, be32(0) + be32(2) + be32(0) + wire_string("V"), 0,
       "status 0 viruses [V,]" + noreport() + " stats 0/0/0/0/0/0/0"},
      {sv, be32(0) + be32(1) + be32(-1), TXC_ERR_TRANSPORT, ""},
      {sv, be32(0) + be32(1) + be32(INT32_MIN), TXC_ERR_TRANSPORT, ""},
      {sv, be32(0) + be32(1) + be32(INT32_MAX) + ten, TXC_ERR_TRANSPORT, ""},
      {sr, be32(0) + be32(INT32_MAX) + wire_string("line\n"), TXC_ERR_TRANSPORT, ""},
      {sr, be32(0) + be32(1) + be32(INT32_MAX) + ten, TXC_ERR_TRANSPORT, ""},
      {sr, be32(0) + be32(1) + be32(-7), TXC_ERR_TRANSPORT, ""},
      {sr, be32(0) + be32(INT32_MIN), 0, "status 0 report <> stats 0/0/0/0/0/0/0"},
      {sc, be32(0) + be32(INT32_MAX) + be32(0x20) + be32(1), TXC_ERR_TRANSPORT, ""},
      {sc, be32(0) + be32(INT32_MIN), 0, "status 0" + noreport() + " stats 0/0/0/0/0/0/0"},
      // Counters that would overflow stop at the edge instead of wrapping.
      {sc,
       be32(0) + be32(3) + be32(0x20) + be32(INT32_MAX) + be32(0x20) + be32(INT32_MAX) +
           be32(0x100) + be32(INT32_MIN),
       0, "status 0" + noreport() + " stats 2147483647/0/-2147483648/0/0/0/0"},
      {sc, be32(0) + be32(1) + be32(-1) + be32(5), 0,
       "status 0" + noreport() + " stats 5/0/0/0/0/0/0"},
  };
  for (const Extreme &e : cases) {
    PeerScript s{e.answer};
    s.wait_for = request_of(e.call, obj_).size();
    s.cut_after = e.answer.size();  // then the daemon goes away
    Outcome o = against(e.call, s, "extreme");
    EXPECT_EQ(o.rc, e.rc) << e.call.label() << " answer of " << e.answer.size() << " bytes\n"
                          << log_.dump();
    if (!e.summary.empty()) {
      EXPECT_EQ(o.summary, e.summary) << e.call.label();
    }
    log_.clear();
  }
}

// The caller's report size at its extremes, against a full answer: the
// limit may drop lines but never breaks the stream or the call.
TEST_F(Hostile, ReportSizeExtremes) {
  const Call c{CallKind::kBuffer, TXC_RETURN_VIRUSES | TXC_RETURN_REPORT | TXC_RETURN_CODES};
  const string full = expected_summary(c, obj_);
  for (int size : {0, 1, 2, INT32_MAX, -1, INT32_MIN}) {
    PeerScript s{answer_of(c, obj_)};
    s.wait_for = request_of(c, obj_).size();
    size_t before = peer_.wait_connections(0).size();
    peer_.add(s);
    Outcome o = run_call(c, obj_, size);
    peer_.wait_connections(before + 1);
    ++g_scenarios;
    EXPECT_EQ(o.rc, 0) << size << "\n" << log_.dump();
    if (size == 0 || size == INT32_MAX) {
      EXPECT_EQ(o.summary, full) << size;
    } else if (size == 1 || size == 2) {
      // Nothing fits below such a limit; the statistics still arrive.
      EXPECT_EQ(o.summary, "status 32 viruses [] report <> stats 1/0/3/0/0/0/0") << size;
    } else {
      EXPECT_EQ(o.summary.rfind("status 32 ", 0), 0u) << size << ": " << o.summary;
      EXPECT_NE(o.summary.find(" stats 1/0/3/0/0/0/0"), string::npos) << size;
    }
  }
}

class HostileSlow : public Hostile {
 protected:
  int timeout_seconds() const override { return 1; }
};

TEST_F(HostileSlow, DripFeedEndsWithinTheTimeout) {
  using Clock = std::chrono::steady_clock;
  for (Call c : all_calls()) {
    // An answer long enough that dripping it takes far past the budget.
    string answer = c.kind == CallKind::kVersion ? be32(429)
                    : c.is_scan()                ? be32(0) + wire_list({string(40, 'r')})
                                                 : answer_of(c, obj_) + string(40, '\0');
    if (c.is_scan()) c.flags = TXC_RETURN_REPORT;
    PeerScript s{answer};
    s.wait_for = request_of(c, obj_).size();
    s.send_chunk = 1;
    s.chunk_delay_us = c.kind == CallKind::kVersion ? 400000 : 150000;
    auto start = Clock::now();
    Outcome o = against(c, s, "drip");
    double secs = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_EQ(o.rc, TXC_ERR_TRANSPORT) << c.label() << " " << o.summary;
    EXPECT_LT(secs, 1.0 + 1.5) << c.label();
    EXPECT_GT(secs, 0.9) << c.label();  // it was the budget that ended it
  }
}

TEST(HostileCount, Report) {
  // Runs last in the file: the number of hostile scenarios tried above.
  std::printf("[ hostile ] %d daemon scenarios tried\n", g_scenarios);
  SUCCEED();
}

}  // namespace
