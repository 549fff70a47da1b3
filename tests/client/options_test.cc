#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "txc_options.h"

namespace {

struct Parsed {
  int rc = -1;
  run_settings s{};
  std::string out;  // what parse_options wrote for the user
};

// Runs parse_options on "tavrixdc" followed by args, from a fresh getopt state.
Parsed parse(std::vector<std::string> args) {
  args.insert(args.begin(), "tavrixdc");
  std::vector<char *> argv;
  for (auto &a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  Parsed p;
  memset(&p.s, 0x5a, sizeof p.s);  // proves the record is cleared first
  char *buf = nullptr;
  size_t len = 0;
  FILE *out = open_memstream(&buf, &len);
  optind = 0;  // glibc: full re-initialisation of getopt
  opterr = 0;  // getopt's own diagnostics are checked on the real program
  p.rc = parse_options(static_cast<int>(args.size()), argv.data(), &p.s, out);
  fclose(out);
  p.out.assign(buf, len);
  free(buf);
  return p;
}

const char kConflict[] = "\nYou cannot use -f and -i option together.";
const char kPartial[] = "\nFor scan only part file you SHOULD define -c -o -l options.";

TEST(ParseOptions, NoArgumentsMeansUsageWithoutMessage) {
  Parsed p = parse({});
  EXPECT_EQ(p.rc, 0);
  EXPECT_EQ(p.out, "");
  EXPECT_EQ(p.s.scan_flags, 0u);
  EXPECT_EQ(p.s.file_name[0], '\0');
}

TEST(ParseOptions, FlagOptionsAccumulate) {
  Parsed p = parse({"-x", "-m", "-e", "-k", "-h", "-q", "-w", "-rv", "-rc", "-rr"});
  ASSERT_NE(p.rc, 0) << p.out;
  EXPECT_EQ(p.s.scan_flags, 0x20u | 0x80000u | 0x1040u | 0x8u | 0x1u | 0x4u | 0x2u);
  EXPECT_EQ(p.s.local_scan, 1);
  EXPECT_EQ(p.s.quiet, 1);
  EXPECT_EQ(p.s.debug, 1);
  EXPECT_EQ(p.s.scan_requested, 0);
  EXPECT_EQ(p.out, "");

  // Letters may be bundled, and -k needs neither -e nor -x.
  p = parse({"-hk"});
  ASSERT_NE(p.rc, 0);
  EXPECT_EQ(p.s.scan_flags, 0x1048u);
  EXPECT_EQ(p.s.local_scan, 0);
}

TEST(ParseOptions, ShowTakesOnlyTheFirstLetter) {
  Parsed p = parse({"-sbv"});
  ASSERT_NE(p.rc, 0);
  EXPECT_EQ(p.s.show_bases, 1);
  EXPECT_EQ(p.s.show_version, 0);
  EXPECT_EQ(p.s.show_id, 0);

  p = parse({"-sb", "-sv", "-s", "i"});
  ASSERT_NE(p.rc, 0);
  EXPECT_EQ(p.s.show_bases + p.s.show_version + p.s.show_id, 3);

  for (const char *bad : {"-sx", "-sB"}) {
    p = parse({bad});
    EXPECT_EQ(p.rc, 0) << bad;
    EXPECT_EQ(p.out, "\nInvalid option show (-s?)") << bad;
  }
  p = parse({"-s", ""});
  EXPECT_EQ(p.rc, 0);
  EXPECT_EQ(p.out, "\nInvalid option show (-s?)");
}

TEST(ParseOptions, ReturnOptionAndReportSize) {
  Parsed p = parse({"-rvx"});  // only the first letter counts
  ASSERT_NE(p.rc, 0);
  EXPECT_EQ(p.s.scan_flags, 0x1u);
  EXPECT_EQ(p.s.local_scan, 0);

  EXPECT_EQ(parse({"-rs"}).s.report_limit, 0);
  EXPECT_EQ(parse({"-rs-5"}).s.report_limit, -5);
  EXPECT_EQ(parse({"-rs+7"}).s.report_limit, 7);
  EXPECT_EQ(parse({"-rs4096bytes"}).s.report_limit, 4096);
  EXPECT_EQ(parse({"-rsabc"}).s.report_limit, 0);
  EXPECT_EQ(parse({"-rs99999999999"}).s.report_limit, INT_MAX);
  EXPECT_EQ(parse({"-rs-99999999999"}).s.report_limit, INT_MIN);
  EXPECT_EQ(parse({"-rs10", "-rs20"}).s.report_limit, 20);

  for (const char *bad : {"-rx", "-rV"}) {
    p = parse({bad});
    EXPECT_EQ(p.rc, 0) << bad;
    EXPECT_EQ(p.out, "\nInvalid option return (-r?)") << bad;
  }
  p = parse({"-r", ""});
  EXPECT_EQ(p.rc, 0);
  EXPECT_EQ(p.out, "\nInvalid option return (-r?)");
}

TEST(ParseOptions, NumberArguments) {
  Parsed p = parse({"-t", "30", "-p4000", "-o12abc", "-l", "007", "-c", "f"});
  ASSERT_NE(p.rc, 0) << p.out;
  EXPECT_EQ(p.s.timeout, 30);
  EXPECT_EQ(p.s.daemon_port, 4000);
  EXPECT_EQ(p.s.part_offset, 12);
  EXPECT_EQ(p.s.part_length, 7);

  EXPECT_EQ(parse({"-p99999999999"}).s.daemon_port, INT_MAX);
  EXPECT_EQ(parse({"-p2147483647"}).s.daemon_port, INT_MAX);
  EXPECT_EQ(parse({"-p2147483648"}).s.daemon_port, INT_MAX);
  EXPECT_EQ(parse({"-p000000000000000000000000000123"}).s.daemon_port, 123);
  EXPECT_EQ(parse({"-t1", "-t2"}).s.timeout, 2);

  struct {
    const char *opt;
    const char *message;
  } cases[] = {
      {"-o", "\nError reading offset argument (-o option)."},
      {"-l", "\nError reading length argument (-l option)."},
      {"-p", "\nError reading port argument (-p option)."},
      {"-t", "\nError reading timeout argument (-t timeout)."},
  };
  for (const auto &c : cases) {
    // A sign, a leading blank, a letter or nothing at all are all refused.
    for (const char *arg : {"-5", "+5", " 5", "x", "", "\xe9"}) {
      p = parse({c.opt, arg});
      EXPECT_EQ(p.rc, 0) << c.opt << " '" << arg << "'";
      EXPECT_EQ(p.out, c.message) << c.opt << " '" << arg << "'";
    }
  }
}

TEST(ParseOptions, TextOptionsLastOneWins) {
  Parsed p = parse({"-n", "host1", "-nhost2", "-u/a/sock", "-d", "/run/t.pid", "-f", "file"});
  ASSERT_NE(p.rc, 0);
  EXPECT_STREQ(p.s.daemon_host, "host2");
  EXPECT_STREQ(p.s.socket_path, "/a/sock");
  EXPECT_STREQ(p.s.pid_file, "/run/t.pid");
  EXPECT_STREQ(p.s.file_name, "file");
  EXPECT_EQ(p.s.scan_requested, 1);
  EXPECT_EQ(p.s.partial_scan, 0);
  EXPECT_EQ(p.s.address_spec[0], '\0');
}

TEST(ParseOptions, LongArgumentsAreCutTo1024) {
  for (const char *opt : {"-f", "-n", "-u", "-d"}) {
    for (size_t len : {1023u, 1024u, 1025u, 2000u}) {
      std::string arg(len, 'a');
      arg[0] = 'b';
      Parsed p = parse({opt, arg});
      ASSERT_NE(p.rc, 0);
      const char *field = opt[1] == 'f'   ? p.s.file_name
                          : opt[1] == 'n' ? p.s.daemon_host
                          : opt[1] == 'u' ? p.s.socket_path
                                          : p.s.pid_file;
      EXPECT_EQ(std::string(field), arg.substr(0, 1024)) << opt << " " << len;
      // The field next to it is untouched.
      if (opt[1] == 'f') {
        EXPECT_EQ(p.s.daemon_host[0], '\0');
      }
    }
  }
  Parsed p = parse({"-c", std::string(3000, 'c'), "-o0", "-l1"});
  ASSERT_NE(p.rc, 0);
  EXPECT_EQ(strlen(p.s.file_name), 1024u);
}

TEST(ParseOptions, ScanSourceConflicts) {
  const std::vector<std::vector<std::string>> conflicting = {
      {"-f", "a", "-i"},
      {"-i", "-f", "a"},
      {"-f", "a", "-f", "b"},
      {"-i", "-i"},
      {"-c", "f", "-o", "0", "-l", "10", "-f", "g"},
      {"-cf", "-o0", "-l1", "-i"},
  };
  for (const auto &args : conflicting) {
    Parsed p = parse(args);
    EXPECT_EQ(p.rc, 0) << args[0] << args[1];
    EXPECT_EQ(p.out, kConflict) << args[0] << args[1];
  }

  // -c after -f or -i replaces the source and makes the scan partial.
  Parsed p = parse({"-f", "g", "-c", "f", "-o", "0", "-l", "10"});
  ASSERT_NE(p.rc, 0) << p.out;
  EXPECT_STREQ(p.s.file_name, "f");
  EXPECT_EQ(p.s.partial_scan, 1);
  EXPECT_EQ(p.s.scan_requested, 1);
  EXPECT_EQ(p.s.part_length, 10);

  p = parse({"-i", "-c", "f", "-o", "5", "-l", "10"});
  ASSERT_NE(p.rc, 0) << p.out;
  EXPECT_STREQ(p.s.file_name, "f");

  p = parse({"-i"});
  ASSERT_NE(p.rc, 0);
  EXPECT_EQ(p.s.scan_requested, 1);
  EXPECT_EQ(p.s.file_name[0], '\0');
}

TEST(ParseOptions, PartialScanNeedsAllThree) {
  for (const auto &args : std::vector<std::vector<std::string>>{
           {"-c", "f", "-o", "1"}, {"-c", "f", "-l", "1"}, {"-c", "f"}}) {
    Parsed p = parse(args);
    EXPECT_EQ(p.rc, 0) << args.size();
    EXPECT_EQ(p.out, kPartial);
  }
  // -o and -l may come first; without -c they are just stored.
  Parsed p = parse({"-o", "3", "-l", "4", "-c", "f"});
  EXPECT_NE(p.rc, 0) << p.out;
  p = parse({"-o", "3", "-l", "4"});
  EXPECT_NE(p.rc, 0) << p.out;
  EXPECT_EQ(p.s.partial_scan, 0);
  EXPECT_EQ(p.s.scan_requested, 0);

  // The first error wins over the missing range.
  p = parse({"-c", "f", "-sz"});
  EXPECT_EQ(p.out, "\nInvalid option show (-s?)");
}

TEST(ParseOptions, ScanningStopsAtFirstOperand) {
  Parsed p = parse({"file", "-f", "x"});
  EXPECT_NE(p.rc, 0);
  EXPECT_EQ(p.s.scan_requested, 0);
  EXPECT_EQ(p.s.file_name[0], '\0');

  p = parse({"-q", "--", "-f", "x"});
  EXPECT_NE(p.rc, 0);
  EXPECT_EQ(p.s.quiet, 1);
  EXPECT_EQ(p.s.scan_requested, 0);

  p = parse({"-q"});
  EXPECT_NE(p.rc, 0);
  EXPECT_EQ(p.out, "");
}

TEST(ParseOptions, GetoptErrorsStopAtOnce) {
  for (const auto &args : std::vector<std::vector<std::string>>{
           {"-z"}, {"-f"}, {"-q", "-Z", "-f", "x"}, {"-c", "f", "-o", "0", "-l"}}) {
    Parsed p = parse(args);
    EXPECT_EQ(p.rc, 0) << args[0];
    EXPECT_EQ(p.out, "") << args[0];
  }
}

TEST(PrintUsage, ReturnsUsageStatusAndEndsWithOneNewline) {
  char *buf = nullptr;
  size_t len = 0;
  FILE *out = open_memstream(&buf, &len);
  EXPECT_EQ(print_usage(out), 128);
  fclose(out);
  std::string text(buf, len);
  free(buf);
  EXPECT_EQ(text.rfind("\nUsage: tavrixdc [options]\n", 0), 0u);
  ASSERT_GT(text.size(), 20u);
  EXPECT_EQ(text.substr(text.size() - 13), "\n  7 - usage\n");
}

}  // namespace
