// Runs the real tavrixdc program on paths that need no daemon.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/process.h"

namespace {

const char kUsage[] =
    "\n"
    "Usage: tavrixdc [options]\n"
    "Command line client (v.4.29.12f) to Tavrix daemon\n"
    "\n"
    " -fFILE_NAME      file to scan\n"
    " -i               read data from stdin\n"
    " -dPIDFILE_NAME   Tavrix daemon PID-file (/var/run/tavrixd.pid is default)\n"
    " -uSOCKET_FILE    Tavrix daemon UNIX-socket file\n"
    " -cFILE_NAME      name of file for partial scanning (offset and length must be defined)\n"
    " -oOFFSET         offset in file for partial scanning\n"
    " -lLENGTH         length of file for partial scanning\n"
    " -nINETADDRESS    Tavrix daemon Internet address (IP or domain name)\n"
    " -pPORT           Tavrix daemon TCP port\n"
    " -tTIMEOUT        timeout (milliseconds) for communcation operations\n"
    " -h               use heuristic analyser\n"
    " -m               use FilterRules from tavrix32.ini\n"
    " -x               scan object as local file\n"
    " -sb              show virus bases info\n"
    " -si              show daemon id string\n"
    " -sv              show daemon version\n"
    " -rv              return virus names\n"
    " -rc              return extended codes\n"
    " -rr              return report lines\n"
    " -rsSIZE          size of report (in bytes)\n"
    " -q               quiet mode\n"
    " -w               debug mode\n"
    " -e               file in e-mail format\n"
    " -k               cure mail (works only with -e and -x options)\n"
    "\n"
    "  Return values:\n"
    "  0 - ok\n"
    "  If return code is not zero, then\n"
    "  Bit\n"
    "  0 - virus found (known, unknown, modification)\n"
    "  1 - skipped object (symlink, no regfile, skipped)\n"
    "  2 - object skipped by archive restrictions\n"
    "      (exceed level of archive recursion, too big compression ratio, extracted file is too "
    "big)\n"
    "  3 - daemon errors (socket & file i/o errors, timeouts, no memory)\n"
    "  4 - client errors (no memory, no daemon)\n"
    "  6 - object rejected by daemons RE-filter\n"
    "  7 - usage";

// What stdout holds after an option error: the message, the usage text and
// the one newline that ends it.
std::string usage_after(const std::string &message) { return message + kUsage + "\n"; }

ProcessResult run(std::vector<std::string> args, const std::string &input = "") {
  args.insert(args.begin(), TAVRIXDC_PATH);
  return run_process(args, input);
}

// A socket path that nothing listens on: start-up succeeds, every session fails.
const char kNoDaemon[] = "/nonexistent/tavrixd.sock";

TEST(TavrixdcProgram, NoArgumentsPrintsUsageOnly) {
  ProcessResult r = run({});
  EXPECT_EQ(r.status, 128);
  EXPECT_EQ(r.out, usage_after(""));
  EXPECT_EQ(r.err, "");
}

TEST(TavrixdcProgram, OptionErrorsPrintMessageAndUsage) {
  struct {
    std::vector<std::string> args;
    const char *message;
  } cases[] = {
      {{"-f", "a", "-i"}, "\nYou cannot use -f and -i option together."},
      {{"-i", "-fa"}, "\nYou cannot use -f and -i option together."},
      {{"-o", "x"}, "\nError reading offset argument (-o option)."},
      {{"-l-1"}, "\nError reading length argument (-l option)."},
      {{"-p", " 80"}, "\nError reading port argument (-p option)."},
      {{"-tfast"}, "\nError reading timeout argument (-t timeout)."},
      {{"-sq"}, "\nInvalid option show (-s?)"},
      {{"-r", "x"}, "\nInvalid option return (-r?)"},
      {{"-c", "f", "-o", "1"}, "\nFor scan only part file you SHOULD define -c -o -l options."},
      // The error comes before anything runs: -w and a bad address are never used.
      {{"-w", "-u", kNoDaemon, "-sv", "-sX"}, "\nInvalid option show (-s?)"},
  };
  for (const auto &c : cases) {
    ProcessResult r = run(c.args);
    EXPECT_EQ(r.status, 128) << c.message;
    EXPECT_EQ(r.out, usage_after(c.message)) << c.message;
    EXPECT_EQ(r.err, "") << c.message;
  }
}

TEST(TavrixdcProgram, GetoptErrorsGoToStderr) {
  for (const auto &args :
       std::vector<std::vector<std::string>>{{"-z"}, {"-q", "-f"}, {"-y", "-sv"}}) {
    ProcessResult r = run(args);
    EXPECT_EQ(r.status, 128) << args[0];
    EXPECT_EQ(r.out, usage_after("")) << args[0];
    EXPECT_NE(r.err, "") << args[0];
  }
}

TEST(TavrixdcProgram, QuietRunWithoutRequest) {
  ProcessResult r = run({"-q"});
  EXPECT_EQ(r.status, 16);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");

  // Without -q the same run tells why it ends with 16; an operand ends the
  // options, so -f here is ignored.
  r = run({"word", "-f", "/nonexistent"});
  EXPECT_EQ(r.status, 16);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "Results: txclient error 0 (no errors)\n");
}

TEST(TavrixdcProgram, QueryWithoutDaemon) {
  ProcessResult r = run({"-u", kNoDaemon, "-sv"});
  EXPECT_EQ(r.status, 16);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("Results: txclient error -2 (internal transport subsystem)\n"),
            std::string::npos)
      << r.err;

  // All three queries fail and print nothing; quiet changes only stderr.
  r = run({"-q", "-u", kNoDaemon, "-sv", "-si", "-sb"});
  EXPECT_EQ(r.status, 16);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
}

TEST(TavrixdcProgram, UnresolvablePathIsNotScanned) {
  for (const char *opt : {"-x", "-c"}) {
    std::vector<std::string> args = {"-u", kNoDaemon, opt, "-f", "/nonexistent/file"};
    if (opt[1] == 'c') args = {"-u", kNoDaemon, "-c", "/nonexistent/file", "-o0", "-l1"};
    ProcessResult r = run(args);
    EXPECT_EQ(r.status, 16) << opt;
    EXPECT_EQ(r.out, "") << opt;
    EXPECT_EQ(r.err,
              "Can not expand /nonexistent/file.\n"
              "Results: txclient error -9 (no memory for internal use)\n")
        << opt;
  }
}

TEST(TavrixdcProgram, PathIsExpandedBeforeLocalScan) {
  char dir[] = "/tmp/tavrixdc_test_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string file = std::string(dir) + "/object";
  FILE *f = fopen(file.c_str(), "w");
  ASSERT_NE(f, nullptr);
  fputs("data", f);
  fclose(f);

  std::string roundabout = std::string(dir) + "/./../" + (strrchr(dir, '/') + 1) + "/object";
  ProcessResult r = run({"-w", "-u", kNoDaemon, "-x", "-f", roundabout});
  EXPECT_EQ(r.status, 16);
  EXPECT_NE(r.err.find("Filename " + roundabout + " expanded to " + file + "\n"), std::string::npos)
      << r.err;
  // The request itself fails for want of a daemon, and the debug log ends
  // with the exit status.
  EXPECT_NE(r.err.find("Results: txclient error -2 (internal transport subsystem)\n"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("Final code 0x10.\n"), std::string::npos) << r.err;

  unlink(file.c_str());
  rmdir(dir);
}

TEST(TavrixdcProgram, AbsolutePathLongerThanTheFieldIsRefused) {
  char top[] = "/tmp/tavrixdc_deep_XXXXXX";
  ASSERT_NE(mkdtemp(top), nullptr);
  std::string dir = top;
  const std::string part(200, 'd');
  std::vector<std::string> made;
  for (int i = 0; i < 5; ++i) {  // more than 1024 characters in all
    dir += "/" + part;
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    made.push_back(dir);
  }
  const std::string file = dir + "/obj";
  FILE *f = fopen(file.c_str(), "w");
  ASSERT_NE(f, nullptr);
  fclose(f);

  const std::string cmd = "cd '" + dir + "' && exec " + TAVRIXDC_PATH + " -u " + kNoDaemon;
  ProcessResult r = run_process({"/bin/sh", "-c", cmd + " -x -f obj"});
  EXPECT_EQ(r.status, 16);
  EXPECT_EQ(r.err,
            "Can not expand obj.\n"
            "Results: txclient error -9 (no memory for internal use)\n");
  r = run_process({"/bin/sh", "-c", cmd + " -c obj -o0 -l1"});
  EXPECT_EQ(r.err,
            "Can not expand obj.\n"
            "Results: txclient error -9 (no memory for internal use)\n");

  unlink(file.c_str());
  for (auto it = made.rbegin(); it != made.rend(); ++it) rmdir(it->c_str());
  rmdir(top);
}

TEST(TavrixdcProgram, StartupAndAddressFailures) {
  ProcessResult r = run({"-t", "14401", "-sv"});
  EXPECT_EQ(r.status, 16);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("Can not initialize library with address <default>.\n"), std::string::npos)
      << r.err;
  EXPECT_EQ(r.err.find("Results:"), std::string::npos) << r.err;

  r = run({"-t", "14401", "-p", "3100", "-n", "scanner"});
  EXPECT_EQ(r.status, 16);
  EXPECT_NE(r.err.find("Can not initialize library with address <inet:3100@scanner>.\n"),
            std::string::npos)
      << r.err;

  // "pid:" and a 1021-character name do not fit; a cut name would be another file.
  r = run({"-d", std::string(1021, 'p'), "-sv"});
  EXPECT_EQ(r.status, 16);
  EXPECT_EQ(r.err, "Can not create address string.\n");
}

TEST(TavrixdcProgram, StdinScanWithoutUsableInput) {
  ProcessResult r = run({"-u", kNoDaemon, "-i"});
  EXPECT_EQ(r.status, 16);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("Results: txclient error -4 (incorrect values of parameters)\n"),
            std::string::npos)
      << r.err;

  // A read that fails is not taken for the end of a (clean) object.
  r = run_process(
      {"/bin/sh", "-c", std::string("exec ") + TAVRIXDC_PATH + " -u " + kNoDaemon + " -i </"});
  EXPECT_EQ(r.status, 16);
  EXPECT_EQ(r.err,
            "Can not read data from stdin - Is a directory\n"
            "Results: txclient error -3 (bad file passed to lib)\n");

  // Data that is read whole reaches the request, which fails on the transport.
  r = run({"-u", kNoDaemon, "-i", "-rv"}, std::string(100000, 'x'));
  EXPECT_EQ(r.status, 16);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("Results: txclient error -2 (internal transport subsystem)\n"),
            std::string::npos)
      << r.err;
}

}  // namespace
