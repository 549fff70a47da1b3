// tavrixdc against a dying or stalled stand-in daemon: the answer cut after
// every byte count, a daemon that never answers, one too slow for the
// timeout. The client must exit 16 with nothing printed, within its budget.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "standin_child.h"
#include "support/process.h"

namespace {

using std::string;

string write_infected(const string &dir) {
  const string path = dir + "/infected.com";
  ProcessResult w = run_process({STANDIN_PATH, "--write-test-file", path});
  EXPECT_EQ(w.status, 0) << w.err;
  return path;
}

TEST(ClientHostile, AnswerCutAfterEveryByteIsAClientError) {
  ScratchDir dir;
  const string inf = write_infected(dir.path);
  struct Run {
    std::vector<string> args;
    int whole_status;  // the exit status once the answer arrives whole
  };
  const std::vector<Run> runs = {
      {{"-f", inf, "-rv", "-rr", "-rc"}, 1},
      {{"-x", "-f", inf, "-rv"}, 1},
      {{"-sv"}, 16},
      {{"-si"}, 16},
      {{"-sb"}, 16},
  };
  int scenarios = 0;
  for (const Run &run : runs) {
    bool whole = false;
    for (int cut = 0; cut < 1024 && !whole; ++cut) {
      Standin daemon(dir.path, {"--close-after", std::to_string(cut)});
      std::vector<string> argv = {TAVRIXDC_PATH, "-u", daemon.sock()};
      argv.insert(argv.end(), run.args.begin(), run.args.end());
      ProcessResult r = run_process(argv);
      ++scenarios;
      ASSERT_EQ(r.signal, 0) << run.args[0] << " cut " << cut;
      // Once the whole answer fits under the cut, the run succeeds.
      whole = !r.out.empty();
      if (whole) {
        EXPECT_EQ(r.status, run.whole_status) << run.args[0] << " cut " << cut << "\n" << r.err;
      } else {
        EXPECT_EQ(r.status, 16) << run.args[0] << " cut " << cut << "\n" << r.err;
        EXPECT_NE(r.err.find("Results: txclient error -2"), string::npos) << r.err;
      }
    }
    EXPECT_TRUE(whole) << run.args[0] << ": never answered whole";
  }
  std::printf("[ hostile ] client: %d cut-answer runs\n", scenarios);
}

TEST(ClientHostile, StalledDaemonEndsWithinTheTimeout) {
  ScratchDir dir;
  const string inf = write_infected(dir.path);
  for (const std::vector<string> &fault :
       std::vector<std::vector<string>>{{"--hang"}, {"--delay", "5000"}}) {
    Standin daemon(dir.path, fault);
    for (const std::vector<string> &what :
         std::vector<std::vector<string>>{{"-sv"}, {"-f", inf, "-rv", "-rr", "-rc"}}) {
      std::vector<string> argv = {TAVRIXDC_PATH, "-u", daemon.sock(), "-t", "1"};
      argv.insert(argv.end(), what.begin(), what.end());
      ProcessResult r = run_process(argv, "", 10000);
      EXPECT_FALSE(r.timed_out) << fault[0] << " " << what[0];
      EXPECT_EQ(r.status, 16) << fault[0] << " " << what[0] << "\n" << r.err;
      EXPECT_EQ(r.out, "") << fault[0] << " " << what[0];
      EXPECT_LT(r.seconds, 1.0 + 1.5) << fault[0] << " " << what[0];
    }
  }
}

}  // namespace
