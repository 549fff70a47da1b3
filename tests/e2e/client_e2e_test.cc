// The real client against the stand-in daemon over real sockets: address
// forms, information queries, scans of every source, status words and exit
// bits, and daemons that fail in the middle of a request.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <vector>

#include "e2e_support.h"
#include "support/process.h"

namespace {

const char kVirusList[] =
    "\n----- Tavrix found viruses list begin -----\nEICAR-Test-File\n"
    "----- Tavrix found viruses list end -----\n";

class ClientE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    ProcessResult w = run_standin({"--write-test-file", dir_.file("infected.com")});
    ASSERT_EQ(w.status, 0) << w.err;
    ASSERT_TRUE(write_file(dir_.file("clean.txt"), "just some harmless text\n"));
  }

  void start(const std::vector<std::string> &extra = {}, bool unix_socket = true,
             int tcp_port = -1) {
    ASSERT_TRUE(daemon_.start(dir_.path(), extra, unix_socket, tcp_port)) << daemon_.log();
  }

  void TearDown() override {
    if (!daemon_.running()) return;
    std::string sock = daemon_.socket_path(), pid = daemon_.pid_file();
    EXPECT_EQ(daemon_.stop(SIGTERM), 0) << daemon_.log();
    if (!sock.empty()) {
      EXPECT_FALSE(file_exists(sock));
    }
    EXPECT_FALSE(file_exists(pid));
  }

  ProcessResult client(std::vector<std::string> args, const std::string &input = "",
                       int limit_ms = 20000) {
    args.insert(args.begin(), TAVRIXDC_PATH);
    return run_process(args, input, limit_ms);
  }

  // A client run against the daemon's UNIX socket.
  ProcessResult scan(std::vector<std::string> args, const std::string &input = "") {
    args.insert(args.begin(), {"-u", daemon_.socket_path()});
    return client(args, input);
  }

  std::string infected_bytes() { return read_file(dir_.file("infected.com")); }

  TempDir dir_;
  Daemon daemon_;
};

TEST_F(ClientE2E, InformationQueriesPrintTheDaemonsAnswersAndExit16) {
  start({"--version", "317", "--id", "Stand-in for tests", "--base", "A:10", "--base", "B:20"});
  ProcessResult r = scan({"-sv", "-si", "-sb"});
  EXPECT_EQ(r.status, 16);
  EXPECT_EQ(r.out,
            "- Version: Tavrix Daemon 3.17\n-          Command line client 4.29.12f\n"
            "- Description: Stand-in for tests\n"
            "- Loaded bases:\nBase A contain 10 records.\nBase B contain 20 records.\n\n"
            "Total 30 virus-finding recoreds.\n");
  EXPECT_NE(r.err.find("Results: txclient error 0 (no errors)"), std::string::npos) << r.err;

  for (const char *opt : {"-sv", "-si", "-sb"}) {
    ProcessResult one = scan({opt});
    EXPECT_EQ(one.status, 16) << opt;
    EXPECT_NE(one.err.find("Results: txclient error 0 (no errors)"), std::string::npos) << opt;
  }
  EXPECT_EQ(scan({"-si"}).out, "- Description: Stand-in for tests\n");
}

TEST_F(ClientE2E, EveryAddressFormReachesTheDaemon) {
  start({}, true, 0);
  ASSERT_GT(daemon_.port(), 0);
  const std::string version = "- Version: Tavrix Daemon 4.29\n";
  const std::string port = std::to_string(daemon_.port());
  std::vector<std::vector<std::string>> forms = {
      {"-u", daemon_.socket_path()},
      {"-n", "127.0.0.1", "-p", port},
      {"-p", port},  // host defaults to localhost
      {"-d", daemon_.pid_file()},
  };
  for (auto args : forms) {
    args.push_back("-sv");
    ProcessResult r = client(args);
    EXPECT_EQ(r.status, 16) << args[0] << "\n" << r.err;
    EXPECT_EQ(r.out.rfind(version, 0), 0u) << args[0] << "\n" << r.out;
  }
  // A scan over TCP too.
  ProcessResult r = client({"-n", "127.0.0.1", "-p", port, "-f", dir_.file("infected.com")});
  EXPECT_EQ(r.status, 1) << r.err;
}

TEST_F(ClientE2E, PidFileWithDeadPrimaryFallsBackToTheLiveBackup) {
  start({}, false, 0);
  ASSERT_GT(daemon_.port(), 0);
  std::string pidfile = dir_.file("handmade.pid");
  ASSERT_TRUE(write_file(pidfile, "4711\n" + dir_.file("gone.sock") +
                                      "\n127.0.0.1:" + std::to_string(daemon_.port()) + "\n"));
  ProcessResult r = client({"-d", pidfile, "-sv"});
  EXPECT_EQ(r.status, 16) << r.err;
  EXPECT_EQ(r.out.rfind("- Version: Tavrix Daemon 4.29\n", 0), 0u) << r.out;

  // A backup is never asked to open a file itself: the content goes instead.
  r = client({"-d", pidfile, "-x", "-f", dir_.file("infected.com"), "-rv"});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.out, kVirusList);
  EXPECT_NE(r.err.find("cannot use <localscan> mode on backup tavrixd"), std::string::npos)
      << r.err;

  // A range scan needs the primary.
  r = client({"-d", pidfile, "-c", dir_.file("infected.com"), "-o", "0", "-l", "68"});
  EXPECT_EQ(r.status, 16);
  EXPECT_NE(r.err.find("Results: txclient error -2"), std::string::npos) << r.err;
}

TEST_F(ClientE2E, DefaultAddressIsPort3000OnLocalhost) {
  if (!tcp_port_free(3000)) GTEST_SKIP() << "port 3000 is in use on this machine";
  start({"--version", "512"}, false, 3000);
  ProcessResult r = client({"-sv"});
  EXPECT_EQ(r.status, 16) << r.err;
  EXPECT_EQ(r.out.rfind("- Version: Tavrix Daemon 5.12\n", 0), 0u) << r.out;
}

TEST_F(ClientE2E, FilesByContentAreScanned) {
  start();
  ProcessResult r = scan({"-f", dir_.file("clean.txt")});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("Results: daemon return code 0 (ok)"), std::string::npos) << r.err;
  EXPECT_EQ(r.out, "");

  r = scan({"-f", dir_.file("infected.com"), "-rv"});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("Results: daemon return code 0x20 (known virus is found)"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(r.out, kVirusList);

  // Clean with -rv: the two banners alone.
  r = scan({"-f", dir_.file("clean.txt"), "-rv"});
  EXPECT_EQ(r.out,
            "\n----- Tavrix found viruses list begin -----"
            "\n----- Tavrix found viruses list end -----\n");

  // A file the client cannot open never reaches the daemon.
  r = scan({"-f", dir_.file("missing.bin")});
  EXPECT_EQ(r.status, 16);
  EXPECT_NE(r.err.find("Results: txclient error -3 (bad file passed to lib)"), std::string::npos)
      << r.err;
}

TEST_F(ClientE2E, ReportLinesKeepTheBareFileNameAndStatisticsCount) {
  start();
  ProcessResult r = scan({"-f", dir_.file("infected.com"), "-rv", "-rr", "-rc"});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.out,
            "\n----- Tavrix report begin -----\ninfected.com\tinfected: EICAR-Test-File\n\n"
            "----- Tavrix report end -----\n" +
                std::string(kVirusList) +
                "\n----- Tavrix statistic begin -----\nInfected : 1\n\n"
                "----- Tavrix statistic end -----\n");

  // Standard input has no name: the whole line stays.
  r = scan({"-i", "-rr"}, "harmless");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "\n----- Tavrix report begin -----\n[MemoryBuffer]\tok\n\n"
            "----- Tavrix report end -----\n");
}

TEST_F(ClientE2E, LocalScanByPath) {
  start({"--verbose"});  // the daemon logs every object it scans
  EXPECT_EQ(scan({"-x", "-f", dir_.file("infected.com")}).status, 1);
  EXPECT_EQ(scan({"-x", "-f", dir_.file("clean.txt")}).status, 0);

  // A relative path is made absolute before the daemon sees it.
  ProcessResult r = run_process({"/bin/sh", "-c",
                                 "cd '" + dir_.path() + "' && exec '" + TAVRIXDC_PATH + "' -u '" +
                                     daemon_.socket_path() + "' -x -f infected.com -rr"});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.out.find("\ninfected.com\tinfected: EICAR-Test-File\n"), std::string::npos) << r.out;

  r = scan({"-x", "-f", dir_.file("no-such-file")});
  EXPECT_EQ(r.status, 16);
  EXPECT_NE(r.err.find("Can not expand " + dir_.file("no-such-file") + "."), std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("Results: txclient error -9"), std::string::npos) << r.err;
  // No request for it reached the daemon, which did see the others.
  EXPECT_EQ(daemon_.log().find("no-such-file"), std::string::npos) << daemon_.log();
  EXPECT_NE(daemon_.log().find("infected.com: status 0x20"), std::string::npos) << daemon_.log();

  // A directory exists, so the daemon is asked, and reports no regular file.
  r = scan({"-x", "-f", dir_.path()});
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_NE(r.err.find("Results: daemon return code 0x800 (no regular file is found)"),
            std::string::npos)
      << r.err;
}

TEST_F(ClientE2E, ByteRangesOfAFile) {
  start();
  std::string sample = std::string(1000, 'A') + infected_bytes() + std::string(1000, 'B');
  std::string path = dir_.file("mixed.bin");
  ASSERT_TRUE(write_file(path, sample));
  struct Case {
    const char *offset, *length;
    int status;
  } cases[] = {
      {"1000", "68", 1},   // exactly the test file
      {"500", "1000", 1},  // around it
      {"0", "1000", 0},    // before it
      {"1001", "68", 0},   // cut at the front
      {"1000", "67", 0},   // cut at the end
      {"5000", "10", 0},   // past the end of the file
  };
  for (const Case &c : cases) {
    ProcessResult r = scan({"-c", path, "-o", c.offset, "-l", c.length});
    EXPECT_EQ(r.status, c.status) << c.offset << "+" << c.length << "\n" << r.err;
  }
}

TEST_F(ClientE2E, StandardInput) {
  start();
  ProcessResult r = scan({"-i"});
  EXPECT_EQ(r.status, 16);
  EXPECT_NE(r.err.find("Results: txclient error -4"), std::string::npos) << r.err;

  EXPECT_EQ(scan({"-i"}, "small and clean").status, 0);

  // Several MiB, the test file at the very end.
  std::string big(5 * 1024 * 1024 + 17, 'x');
  EXPECT_EQ(scan({"-i"}, big).status, 0);
  r = scan({"-i", "-rv"}, big + infected_bytes());
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.out, kVirusList);
}

TEST_F(ClientE2E, SignaturesFromAFileAreFoundAcrossPieceBoundaries) {
  std::string sigs = dir_.file("sigs.txt");
  ASSERT_TRUE(write_file(sigs, "# test signatures\nTest.Custom c0ffee 00 11 22 33 44 55 66 77\n"));
  start({"--signatures", sigs});
  const std::string sig("\xc0\xff\xee\x00\x11\x22\x33\x44\x55\x66\x77", 11);
  // Straddling each power-of-two boundary a daemon might read in pieces of.
  for (size_t boundary : {4096u, 65536u, 1048576u}) {
    std::string data(boundary - 5, 'q');
    data += sig + std::string(100000, 'r');
    ProcessResult r = scan({"-i", "-rv"}, data);
    EXPECT_EQ(r.status, 1) << boundary << "\n" << r.err;
    EXPECT_NE(r.out.find("\nTest.Custom\n"), std::string::npos) << r.out;
  }
  // One byte short of the signature is clean.
  EXPECT_EQ(scan({"-i"}, std::string(70000, 'q') + sig.substr(0, 10)).status, 0);
}

TEST_F(ClientE2E, StatusWordsDecideTheExitStatus) {
  struct Case {
    const char *word;
    int exit_status;
    const char *line;
  } cases[] = {
      {"0x0", 0, "Results: daemon return code 0 (ok)"},
      {"0x20", 1, "Results: daemon return code 0x20 (known virus is found)"},
      {"0x1020", 3, "Results: daemon return code 0x1020 (unknown code or multiple errors)"},
      {"0x100", 0, "Results: daemon return code 0x100 (object is cured)"},
      {"0x20000", 64, "Results: daemon return code 0x20000 (rejected by rule filter)"},
      {"0x8001", 8, "Results: daemon return code 0x8001 (unknown code or multiple errors)"},
  };
  for (const Case &c : cases) {
    TempDir dir;
    Daemon d;
    ASSERT_TRUE(d.start(dir.path(), {"--status", c.word})) << d.log();
    ProcessResult r = client({"-u", d.socket_path(), "-f", dir_.file("clean.txt")});
    EXPECT_EQ(r.status, c.exit_status) << c.word << "\n" << r.err;
    EXPECT_NE(r.err.find(c.line), std::string::npos) << c.word << "\n" << r.err;
    EXPECT_EQ(d.stop(), 0);
  }
}

TEST_F(ClientE2E, QuietModeWritesNothingToStandardError) {
  start();
  ProcessResult r = scan({"-q", "-f", dir_.file("infected.com"), "-rv"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, kVirusList);
  r = scan({"-q", "-x", "-f", dir_.file("no-such-file")});
  EXPECT_EQ(r.status, 16);
  EXPECT_EQ(r.err, "");
}

TEST_F(ClientE2E, DaemonDyingMidAnswerIsAClientError) {
  // 6 bytes: the status word and half of the virus-name count.
  for (const char *cut : {"0", "6"}) {
    TempDir dir;
    Daemon d;
    ASSERT_TRUE(d.start(dir.path(), {"--close-after", cut})) << d.log();
    ProcessResult r = client({"-u", d.socket_path(), "-f", dir_.file("infected.com"), "-rv"});
    EXPECT_EQ(r.status, 16) << cut;
    EXPECT_EQ(r.out, "") << cut;
    EXPECT_NE(r.err.find("Results: txclient error -2 (internal transport subsystem)"),
              std::string::npos)
        << cut << "\n"
        << r.err;
    EXPECT_EQ(d.stop(), 0);
  }
}

TEST_F(ClientE2E, SilentDaemonEndsInTheTimeout) {
  start({"--hang"});
  ProcessResult r = scan({"-t", "1", "-f", dir_.file("clean.txt")});
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 16) << r.err;
  EXPECT_NE(r.err.find("Results: txclient error -2"), std::string::npos) << r.err;
  EXPECT_LT(r.seconds, 6.0);
}

TEST_F(ClientE2E, SlowDaemonWithinTheTimeoutIsAnswered) {
  start({"--delay", "300"});
  ProcessResult r = scan({"-t", "5", "-f", dir_.file("infected.com")});
  EXPECT_EQ(r.status, 1) << r.err;
}

}  // namespace
