// Allocation-failure torture: every library call, the configuration reader
// and every client path run with the 1st, 2nd, ... allocation failing until
// a run needs no failure. Each run must give a documented code (the client:
// its normal status or 16), hand out nothing on failure, never pass a
// damaged result for a whole one, and leave no descriptor open. Leaks show
// in the sanitizer build.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "hostile_calls.h"
#include "standin_child.h"
#include "support/fd_count.h"
#include "support/log_capture.h"
#include "support/process.h"
#include "support/scripted_peer.h"
#include "txc_alloc.h"
#include "txlib/txc_conf.h"
#include "txlib/txlib.h"

namespace {

using std::string;

constexpr long kMaxRuns = 500;  // a call needing more allocations than this is a fault itself
long g_sites = 0;               // runs in which an injected failure hit something

bool in(int rc, std::initializer_list<int> codes) {
  for (int c : codes)
    if (rc == c) return true;
  return false;
}

// The peer may accept and close its end of a connection a moment after the
// call returned; a leaked descriptor stays.
bool fds_settle(int want) {
  for (int i = 0; i < 200; ++i) {
    if (open_fd_count() == want) return true;
    usleep(5000);
  }
  return false;
}

class Torture : public ::testing::Test {
 protected:
  void TearDown() override {
    txc_alloc_reset();
    txc_cleanup();
  }
  // Runs body with the n-th allocation failing, n = 1, 2, ..., until a run
  // hits no failure; body gets (n, failed) and returns false to stop early.
  template <typename Body>
  void torture(const string &what, Body body) {
    for (long n = 1; n <= kMaxRuns; ++n) {
      txc_alloc_fail_at(n);
      bool failed_any = false;
      body(n, [&] {
        failed_any = txc_alloc_failures() > 0;
        txc_alloc_reset();
        return failed_any;
      });
      if (!failed_any) return;
      ++g_sites;
    }
    ADD_FAILURE() << what << ": still failing after " << kMaxRuns << " allocations";
  }

  LogCapture log_{2};
};

TEST_F(Torture, StartupAddAddressAndCleanup) {
  const string pidfile = "/tmp/txtorture.pid." + std::to_string(getpid());
  FILE *f = fopen(pidfile.c_str(), "w");
  ASSERT_NE(f, nullptr);
  fputs("4711\n/tmp/txtorture-a.sock\n127.0.0.1:3000\n/tmp/txtorture-b.sock\n", f);
  fclose(f);
  const int fds = open_fd_count();
  for (const string &spec :
       {"pid:" + pidfile, string("local:/tmp/x.sock"), string("inet:3000@127.0.0.1")}) {
    torture("startup " + spec, [&](long n, auto stop) {
      int rc = txc_startup(TXC_LIB_VERSION, spec.c_str(), 5, 0);
      bool failed = stop();
      if (!failed) {
        EXPECT_EQ(rc, 0) << spec << "\n" << log_.dump();
      } else {
        EXPECT_TRUE(in(rc, {0, TXC_ERR_TRANSPORT, TXC_ERR_TIMEOUT}))
            << spec << " n=" << n << ": " << rc;
      }
      // A failed start-up leaves the library startable; a good one stops.
      if (rc == 0) {
        EXPECT_EQ(txc_cleanup(), 0);
      } else {
        EXPECT_EQ(txc_cleanup(), TXC_ERR_ONCE) << "a failed start-up left the library started";
      }
    });
  }
  ASSERT_EQ(txc_startup(TXC_LIB_VERSION, "local:/tmp/x.sock", 5, 0), 0);
  torture("add_address", [&](long n, auto stop) {
    int rc = txc_add_address(("pid:" + pidfile).c_str(), 5, 0);
    if (!stop()) {
      EXPECT_EQ(rc, 0);
    } else {
      EXPECT_TRUE(in(rc, {0, TXC_ERR_TIMEOUT})) << n << ": " << rc;
    }
  });
  torture("cleanup", [&](long, auto stop) {
    EXPECT_EQ(txc_cleanup(), 0);
    stop();
  });
  unlink(pidfile.c_str());
  EXPECT_EQ(open_fd_count(), fds);
}

TEST_F(Torture, EveryCallAndEveryAnswerItem) {
  ScriptedPeer peer;
  ScanObject obj;
  ASSERT_EQ(txc_startup(TXC_LIB_VERSION, peer.spec().c_str(), 5, 0), 0);
  std::vector<Call> calls = all_calls();
  for (const Call &c : buffer_combinations()) calls.push_back(c);
  const int fds = open_fd_count();
  for (const Call &c : calls) {
    PeerScript script{answer_of(c, obj)};
    script.wait_for = request_of(c, obj).size();
    peer.set_default(script);
    const string want = expected_summary(c, obj);
    torture(c.label(), [&](long n, auto stop) {
      size_t done = peer.wait_connections(0).size();
      size_t accepted = peer.accepted();
      Outcome o = run_call(c, obj);
      bool failed = stop();
      if (peer.accepted() > accepted) peer.wait_connections(done + 1);
      EXPECT_TRUE(fds_settle(fds)) << c.label() << " n=" << n;
      if (!failed) {
        EXPECT_EQ(o.rc, 0) << c.label() << "\n" << log_.dump();
        EXPECT_EQ(o.summary, want) << c.label();
        return;
      }
      if (o.rc == 0) {
        // A failure the call got round: the answer must still be whole.
        EXPECT_EQ(o.summary, want) << c.label() << " n=" << n;
      } else {
        EXPECT_TRUE(in(o.rc, {TXC_ERR_TRANSPORT, TXC_ERR_NOMEM}))
            << c.label() << " n=" << n << ": " << o.rc;
        EXPECT_TRUE(o.outputs_cleared) << c.label() << " n=" << n;
      }
    });
  }
}

// The configuration reader with a task list that uses every variable type.
struct Conf {
  int32_t timeout = 0, port = 0, verbose = 0;
  char *name = nullptr;
  char fixed[16] = {};
  txc_strlist *hosts = nullptr;
  char *path = nullptr;
};

int read_main(FILE *stream, int *line, const char *section, void *data) {
  auto *c = static_cast<Conf *>(data);
  const txc_conf_var_t vars[] = {
      {"Timeout", TXC_CONF_TYPE_INT, &c->timeout, 4, TXC_CONF_NUMBER(30)},
      {"Port", TXC_CONF_TYPE_UINT, &c->port, 4, TXC_CONF_NUMBER(3000)},
      {"Verbose", TXC_CONF_TYPE_BOOL, &c->verbose, 4, TXC_CONF_NUMBER(0)},
      {"Name", TXC_CONF_TYPE_STRING, &c->name, 0, TXC_CONF_TEXT("none")},
      {"Fixed", TXC_CONF_TYPE_STRING, c->fixed, sizeof c->fixed, TXC_CONF_TEXT("x")},
      {"Hosts", TXC_CONF_TYPE_STRLIST, &c->hosts, 0, TXC_CONF_NO_DEFAULT},
      {nullptr, TXC_CONF_TYPE_END, nullptr, 0, TXC_CONF_NO_DEFAULT},
  };
  return read_section(stream, line, section, vars, '=', ',') == 0;
}

void release_main(const char *, void *data) {
  auto *c = static_cast<Conf *>(data);
  free(c->name);
  c->name = nullptr;
  strlist_free(c->hosts);
  c->hosts = nullptr;
}

int read_other(FILE *stream, int *line, const char *section, void *data) {
  auto *c = static_cast<Conf *>(data);
  const txc_conf_var_t vars[] = {
      {"Path", TXC_CONF_TYPE_STRING, &c->path, 0, TXC_CONF_NO_DEFAULT},
      {nullptr, TXC_CONF_TYPE_END, nullptr, 0, TXC_CONF_NO_DEFAULT},
  };
  return read_section(stream, line, section, vars, ':', ';') == 0;
}

void release_other(const char *, void *data) {
  auto *c = static_cast<Conf *>(data);
  free(c->path);
  c->path = nullptr;
}

TEST_F(Torture, ConfigurationReader) {
  const string file = "/tmp/txtorture.conf." + std::to_string(getpid());
  FILE *f = fopen(file.c_str(), "w");
  ASSERT_NE(f, nullptr);
  // The Main section occurs twice: the second read replaces the first.
  fputs(
      "# test\n[Main]\nName = first\n[Other]\nPath: /a/b\n[Main]\nTimeout = 7\nPort = 99\n"
      "Verbose = yes\nName = \"x y\"\nFixed = abc\nHosts = h1,h2,h3\n",
      f);
  fclose(f);
  const int fds = open_fd_count();
  torture("read_conf", [&](long n, auto stop) {
    Conf c;
    txc_conf_task_t tasks[] = {
        {"Main", &c, read_main, release_main, 0, 0},
        {"Other", &c, read_other, release_other, 0, 1},
        {nullptr, nullptr, nullptr, nullptr, 0, 0},
    };
    int rc = read_conf(file.c_str(), tasks);
    bool failed = stop();
    if (!failed) {
      EXPECT_EQ(rc, 0) << log_.dump();
    }
    if (rc == 0) {
      // Whatever was injected, a read that says yes has every value.
      EXPECT_EQ(c.timeout, 7) << n;
      EXPECT_EQ(c.port, 99) << n;
      EXPECT_EQ(c.verbose, 1) << n;
      EXPECT_STREQ(c.name, "x y") << n;
      EXPECT_STREQ(c.fixed, "abc") << n;
      EXPECT_EQ(strlist_count(c.hosts), 3) << n;
      EXPECT_STREQ(c.path, "/a/b") << n;
      free_conf(tasks);
    } else {
      EXPECT_EQ(rc, -1) << n;
      EXPECT_FALSE(tasks[0].loaded || tasks[1].loaded) << n;
      EXPECT_TRUE(c.name == nullptr && c.hosts == nullptr && c.path == nullptr) << n;
    }
  });
  unlink(file.c_str());
  EXPECT_EQ(open_fd_count(), fds);
}

// ---- The client ----

long injected(const ProcessResult &r) {
  size_t at = r.err.rfind("torture: ");
  return at == string::npos ? -1 : std::strtol(r.err.c_str() + at + 9, nullptr, 10);
}

TEST(ClientTorture, EveryPathEndsWithItsStatusOr16) {
  ScratchDir scratch;
  const string &dir = scratch.path;
  ProcessResult w = run_process({STANDIN_PATH, "--write-test-file", dir + "/infected.com"});
  ASSERT_EQ(w.status, 0) << w.err;
  {
    FILE *f = fopen((dir + "/clean.txt").c_str(), "w");
    fputs("nothing to see here\n", f);
    fclose(f);
  }
  string infected;
  {
    FILE *f = fopen((dir + "/infected.com").c_str(), "r");
    char buf[4096];
    size_t k = fread(buf, 1, sizeof buf, f);
    infected.assign(buf, k);
    fclose(f);
  }
  Standin daemon(dir);
  const string inf = dir + "/infected.com", clean = dir + "/clean.txt";
  struct Path {
    std::vector<string> args;
    string input;
  };
  const string &s = daemon.sock();
  const std::vector<Path> paths = {
      {{"-u", s, "-sv", "-si", "-sb"}, ""},
      {{"-u", s, "-f", clean, "-rv", "-rr", "-rc"}, ""},
      {{"-u", s, "-f", inf, "-rv", "-rr", "-rc", "-rs100"}, ""},
      {{"-u", s, "-x", "-f", inf, "-rv", "-rr", "-rc"}, ""},
      {{"-u", s, "-c", inf, "-o", "0", "-l", std::to_string(infected.size()), "-rv", "-rc"}, ""},
      {{"-u", s, "-i", "-rv", "-rr", "-rc"}, infected},
      {{"-d", daemon.pidfile(), "-f", inf, "-rv"}, ""},
      {{"-n", "127.0.0.1", "-p", "1", "-f", inf}, ""},  // nothing listens there
      {{"-u", s, "-f", dir + "/missing", "-rv"}, ""},
  };
  long sites = 0;
  for (const Path &p : paths) {
    auto run = [&](long n) {
      std::vector<string> argv = {TORTURE_PATH, std::to_string(n)};
      argv.insert(argv.end(), p.args.begin(), p.args.end());
      return run_process(argv, p.input);
    };
    const string label = p.args[2] + " " + p.args[3];
    ProcessResult base = run(0);
    ASSERT_EQ(injected(base), 0) << label << "\n" << base.err;
    ASSERT_EQ(base.signal, 0) << label;
    long n = 1;
    for (; n <= kMaxRuns; ++n) {
      ProcessResult r = run(n);
      long k = injected(r);
      EXPECT_EQ(r.signal, 0) << label << " n=" << n << "\n" << r.err;
      EXPECT_FALSE(r.timed_out) << label << " n=" << n;
      if (k == 0) {
        EXPECT_EQ(r.status, base.status) << label << " n=" << n << "\n" << r.err;
        EXPECT_EQ(r.out, base.out) << label << " n=" << n;
        break;
      }
      ++sites;
      // 16 for a client error; the daemon's bits plus 16 when only the
      // printout of the statistics was lost.
      EXPECT_TRUE(r.status == base.status || r.status == 16 || r.status == (base.status | 16))
          << label << " n=" << n << ": status " << r.status << "\n"
          << r.err;
      if (r.status != 16 && r.status == (base.status | 16)) {
        EXPECT_NE(r.err.find("No memory for the statistics text"), string::npos) << r.err;
      }
      // The normal status with a failure injected: the printout must be
      // whole, or a damaged result passed for a good one.
      if (r.status == base.status && base.status != 16) {
        EXPECT_EQ(r.out, base.out) << label << " n=" << n << "\n" << r.err;
      }
    }
    EXPECT_LE(n, kMaxRuns) << label;
  }
  std::printf("[ torture ] client: %ld runs with an injected failure over %zu paths\n", sites,
              paths.size());
}

TEST(TortureCount, Report) {
  std::printf("[ torture ] library: %ld runs with an injected failure\n", g_sites);
  SUCCEED();
}

}  // namespace
