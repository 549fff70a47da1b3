// read_conf: sections, headers, obsolete names, failures and clean-up.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include "conf_test_util.h"
#include "support/log_capture.h"
#include "txc_alloc.h"
#include "txc_log.h"

namespace {

// A [Main] section with a number and a heap text, the common case.
struct MainSection {
  int32_t timeout = -5;
  int32_t port = -5;
  char *name = nullptr;
  txc_conf_var_t vars[4] = {
      var("Timeout", TXC_CONF_TYPE_INT, &timeout, 4, num(10)),
      var("Port", TXC_CONF_TYPE_INT, &port, 4, num(0)),
      var("Name", TXC_CONF_TYPE_STRING, &name, 0),
      end_var(),
  };
  SectionSpec spec;
  MainSection() { spec.vars = vars; }
  ~MainSection() { release_table(vars); }
};

TEST(ReadConf, ReadsValuesQuotedAndUnquoted) {
  LogCapture log;
  MainSection main;
  txc_conf_task_t tasks[] = {make_task("Main", &main.spec), end_task()};

  TempConf quoted("[Main]\nTimeout = 30\n# comment\nName = \"a b\"\n");
  ASSERT_EQ(read_conf(quoted.path(), tasks), 0) << log.dump();
  EXPECT_EQ(main.timeout, 30);
  ASSERT_NE(main.name, nullptr);
  EXPECT_STREQ(main.name, "a b");
  EXPECT_EQ(tasks[0].loaded, 1);
  EXPECT_TRUE(
      log.has(4, std::string("txlib: read_conf(") + quoted.path() + "): successfully loaded"));
  EXPECT_EQ(free_conf(tasks), 0);
  EXPECT_EQ(tasks[0].loaded, 0);
  EXPECT_EQ(main.name, nullptr);
  EXPECT_EQ(main.spec.releases, 1);

  // Blanks outside quotes vanish; digits end a name; "#" after text is kept;
  // the last line for a variable wins.
  TempConf plain(
      "  [Main]\n\tName = a b\nPort2 = 5\nName = abc # note\n   \n  # indented comment\n");
  ASSERT_EQ(read_conf(plain.path(), tasks), 0) << log.dump();
  EXPECT_STREQ(main.name, "abc#note");
  EXPECT_EQ(main.port, 5);
  EXPECT_EQ(main.timeout, 10);  // default
  free_conf(tasks);
}

TEST(ReadConf, HeadersMatchByPrefixAndStopSections) {
  LogCapture log;
  MainSection main;
  int32_t level = -1;
  txc_conf_var_t other_vars[] = {var("Level", TXC_CONF_TYPE_INT, &level, 4, num(1)), end_var()};
  SectionSpec other;
  other.vars = other_vars;
  txc_conf_task_t tasks[] = {make_task("Main", &main.spec), make_task("Other", &other), end_task()};

  // Prefix match without regard to case, blanks removed first; "]" optional.
  TempConf prefix("[mainsection]\nTimeout=7\n[ O t h e r\nLevel=3\n");
  ASSERT_EQ(read_conf(prefix.path(), tasks), 0) << log.dump();
  EXPECT_EQ(main.timeout, 7);
  EXPECT_EQ(level, 3);
  free_conf(tasks);

  // Consecutive headers: the first section is empty and hands the second
  // header back; an unknown section's lines (even malformed ones) are
  // skipped; the last line has no newline.
  TempConf consecutive(
      "[Main]\n[Other]\nLevel = 4\n[Unknown]\n!!! not a variable\n[Main]\nTimeout=8");
  log.clear();
  ASSERT_EQ(read_conf(consecutive.path(), tasks), 0) << log.dump();
  EXPECT_EQ(main.timeout, 8);
  EXPECT_EQ(level, 4);
  EXPECT_TRUE(log.has(
      4, std::string("txlib: read_conf(") + consecutive.path() + "): unknown section [Unknown]"));
  free_conf(tasks);
}

TEST(ReadConf, LineNumbersFollowTheFile) {
  LogCapture log;
  MainSection main;
  int32_t level = 0;
  txc_conf_var_t other_vars[] = {var("Level", TXC_CONF_TYPE_INT, &level, 4, num(1)), end_var()};
  SectionSpec other;
  other.vars = other_vars;
  txc_conf_task_t tasks[] = {make_task("Main", &main.spec), make_task("Other", &other), end_task()};
  // Line 7 is the bad one: comments, a skipped section and a section read
  // by a reader all count.
  TempConf file("# c\n[Main]\nTimeout=1\n\n[Other]\nLevel=2\nLevel=x\n");
  EXPECT_EQ(read_conf(file.path(), tasks), -1);
  EXPECT_TRUE(log.has(2, "txlib: read_section(Other): illegal value in line 7")) << log.dump();
  EXPECT_TRUE(
      log.has(4, std::string("txlib: read_conf(") + file.path() + "): error in section [Other]"));
  // The loaded [Main] was released on the way out.
  EXPECT_EQ(tasks[0].loaded, 0);
  EXPECT_EQ(main.spec.releases, 1);
  EXPECT_EQ(main.name, nullptr);

  TempConf unknown("[Main]\n\nBogus = 1\n");
  log.clear();
  EXPECT_EQ(read_conf(unknown.path(), tasks), -1);  // [Other] is not optional
  EXPECT_TRUE(log.has(5, "txlib: read_section(Main): unknown variable Bogus in line 3"))
      << log.dump();
  EXPECT_TRUE(
      log.has(2, std::string("txlib: read_conf(") + unknown.path() + "): section [Other] missed"));
  EXPECT_EQ(main.spec.releases, 2);
  EXPECT_EQ(tasks[0].loaded, 0);
}

TEST(ReadConf, ObsoleteSectionsWarnOrStop) {
  LogCapture log;
  MainSection main;
  txc_conf_task_t tasks[] = {make_task("Main", &main.spec), end_task()};

  TempConf stop("[Main]\nName=x\n[Submitter]\n[Main]\nTimeout=3\n");
  EXPECT_EQ(read_conf(stop.path(), tasks), -1);
  EXPECT_TRUE(log.has(2, std::string("txlib: read_conf(") + stop.path() +
                             "): section [Submitter] is obsolete - stop parsing, please read "
                             "documentation"))
      << log.dump();
  EXPECT_EQ(main.spec.reads, 1);  // nothing after the obsolete header is read
  EXPECT_EQ(main.spec.releases, 1);
  EXPECT_EQ(main.name, nullptr);

  log.clear();
  TempConf warn("[mailbombnotificationsX]\nWhatever=1\n[Main]\n");
  EXPECT_EQ(read_conf(warn.path(), tasks), 0);
  EXPECT_TRUE(log.has(3, std::string("txlib: read_conf(") + warn.path() +
                             "): section [mailbombnotificationsX] is obsolete - continue, but "
                             "please read documentation"))
      << log.dump();
  EXPECT_TRUE(log.contains("unknown section [mailbombnotificationsX]"));
  free_conf(tasks);

  // An action-1 section that a task names is read like any other.
  int32_t count = 0;
  txc_conf_var_t mb_vars[] = {var("Count", TXC_CONF_TYPE_INT, &count, 4, num(0)), end_var()};
  SectionSpec mb;
  mb.vars = mb_vars;
  txc_conf_task_t mb_tasks[] = {make_task("MailbombNotifications", &mb), end_task()};
  TempConf named("[MailbombNotifications]\nCount=2\n");
  EXPECT_EQ(read_conf(named.path(), mb_tasks), 0);
  EXPECT_EQ(count, 2);
  free_conf(mb_tasks);
}

TEST(ReadConf, ObsoleteParametersWarnOrStop) {
  LogCapture log;
  char *prefix = nullptr;
  txc_conf_var_t scan_vars[] = {var("PathPrefix", TXC_CONF_TYPE_STRING, &prefix, 0), end_var()};
  SectionSpec scanning;
  scanning.vars = scan_vars;
  SectionSpec logging;
  txc_conf_var_t no_vars[] = {end_var()};
  logging.vars = no_vars;
  txc_conf_task_t tasks[] = {make_task("Scanning", &scanning), make_task("Logging", &logging, 1),
                             end_task()};

  TempConf warn("[Scanning]\nPathPrefix = x\nStripPrefix = y\n");
  ASSERT_EQ(read_conf(warn.path(), tasks), 0) << log.dump();
  EXPECT_STREQ(prefix, "x");  // still stored
  EXPECT_TRUE(log.has(3,
                      "txlib: read_section(Scanning): parameter PathPrefix is obsolete - continue, "
                      "but please read documentation"));
  EXPECT_TRUE(log.has(5, "txlib: read_section(Scanning): unknown variable StripPrefix in line 3"));
  free_conf(tasks);

  log.clear();
  TempConf stop("[Scanning]\nPathPrefix = x\n[Logging]\nLocation = /var/log\n");
  EXPECT_EQ(read_conf(stop.path(), tasks), -1);
  EXPECT_TRUE(log.has(2,
                      "txlib: read_section(Logging): parameter Location is obsolete - stop "
                      "parsing, please read documentation"))
      << log.dump();
  EXPECT_EQ(prefix, nullptr);  // [Scanning] released by the failure
  EXPECT_EQ(tasks[0].loaded, 0);
}

TEST(ReadConf, RefusesBadPathsAndArguments) {
  LogCapture log;
  MainSection main;
  txc_conf_task_t tasks[] = {make_task("Main", &main.spec, 1), end_task()};

  EXPECT_EQ(read_conf(nullptr, tasks), -1);
  EXPECT_TRUE(log.has(2, "txlib: read_conf: null filename passed"));
  EXPECT_EQ(read_conf("/tmp", nullptr), -1);
  EXPECT_TRUE(log.has(2, "txlib: read_conf(/tmp): null task list passed"));

  EXPECT_EQ(read_conf("/tmp", tasks), -1);
  EXPECT_TRUE(
      log.has(2, "txlib: read_conf(/tmp): full pathname should be specified, not directory only"));
  EXPECT_EQ(main.spec.reads, 0);

  EXPECT_EQ(read_conf("/nonexistent/txc.conf", tasks), -1);
  EXPECT_TRUE(log.has(2, "txlib: read_conf(/nonexistent/txc.conf): No such file or directory"))
      << log.dump();

  if (geteuid() != 0) {  // root reads anything
    TempConf locked("[Main]\n");
    chmod(locked.path(), 0);
    EXPECT_EQ(read_conf(locked.path(), tasks), -1);
    EXPECT_TRUE(log.has(
        2, std::string("txlib: read_conf(") + locked.path() + "): cannot open - Permission denied"))
        << log.dump();
  }

  // An optional section may be missing; an empty file then reads fine.
  TempConf empty("");
  EXPECT_EQ(read_conf(empty.path(), tasks), 0);
  EXPECT_EQ(tasks[0].loaded, 0);
}

TEST(ReadConf, FailingReaderAndMissingReader) {
  LogCapture log;
  MainSection main;
  SectionSpec failing;
  failing.fail = true;
  txc_conf_task_t tasks[] = {make_task("Main", &main.spec), make_task("Bad", &failing, 1),
                             end_task()};
  TempConf file("[Main]\nName = kept?\n[Bad]\n");
  EXPECT_EQ(read_conf(file.path(), tasks), -1);
  EXPECT_TRUE(
      log.has(4, std::string("txlib: read_conf(") + file.path() + "): error in section [Bad]"));
  EXPECT_EQ(main.name, nullptr);
  EXPECT_EQ(tasks[0].loaded, 0);
  EXPECT_EQ(tasks[1].loaded, 0);

  txc_conf_task_t no_reader[] = {{"Main", nullptr, nullptr, nullptr, 0, 0}, end_task()};
  EXPECT_EQ(read_conf(file.path(), no_reader), -1);
  EXPECT_TRUE(log.contains("no reader for section [Main]"));
}

TEST(ReadConf, SectionTwiceStartsAgainFromDefaults) {
  LogCapture log;
  MainSection main;
  txc_strlist *list = nullptr;
  txc_conf_var_t vars[] = {main.vars[0], main.vars[2], var("List", TXC_CONF_TYPE_STRLIST, &list, 0),
                           end_var()};
  main.spec.vars = vars;
  txc_conf_task_t tasks[] = {make_task("Main", &main.spec), end_task()};
  TempConf file("[Main]\nTimeout=5\nName=first\nList=a,b\n[Main]\nName=second\n");
  ASSERT_EQ(read_conf(file.path(), tasks), 0) << log.dump();
  EXPECT_EQ(main.spec.reads, 2);
  // The first reading's texts went back through the release function.
  EXPECT_EQ(main.spec.releases, 1);
  EXPECT_EQ(main.timeout, 10);
  EXPECT_STREQ(main.name, "second");
  EXPECT_EQ(list, nullptr);
  free_conf(tasks);
  EXPECT_EQ(main.spec.releases, 2);
}

TEST(ReadConf, LongLines) {
  LogCapture log;
  MainSection main;
  txc_conf_task_t tasks[] = {make_task("Main", &main.spec), end_task()};

  // A long comment is skipped whole: its tail is not a line of its own.
  std::string comment = "# " + std::string(1500, 'x') + " Timeout = 99\n";
  // Exactly 1023 characters fit; padding blanks beyond the limit are harmless.
  std::string fits = "Name=" + std::string(1018, 'n') + "\n";
  std::string padded = "Port = 4" + std::string(1500, ' ') + "\n";
  TempConf ok("[Main]\n" + comment + fits + padded + "Bogus=1\n");
  ASSERT_EQ(read_conf(ok.path(), tasks), 0) << log.dump();
  EXPECT_EQ(main.timeout, 10);
  ASSERT_NE(main.name, nullptr);
  EXPECT_EQ(std::string(main.name), std::string(1018, 'n'));
  EXPECT_EQ(main.port, 4);
  EXPECT_TRUE(log.has(5, "txlib: read_section(Main): unknown variable Bogus in line 5"))
      << log.dump();
  free_conf(tasks);

  // A value cut at the buffer would be stored truncated: refuse the line.
  TempConf too_long("[Main]\nName=" + std::string(1100, 'v') + "\n");
  log.clear();
  EXPECT_EQ(read_conf(too_long.path(), tasks), -1);
  EXPECT_TRUE(log.has(2, "txlib: read_section(Main): line 2 is too long (over 1023)"))
      << log.dump();
  EXPECT_EQ(main.name, nullptr);
}

// Every allocation of a reading fails in turn: the reading either fails and
// leaves nothing behind, or succeeds completely. The sanitizer build checks
// that nothing leaks.
TEST(ReadConf, AllocationFailuresLeaveNothingBehind) {
  LogCapture log(0);
  char *name = nullptr;
  char *host = nullptr;
  txc_strlist *list = nullptr;
  char fixed[16];
  txc_conf_var_t vars[] = {
      var("Name", TXC_CONF_TYPE_STRING, &name, 0, text("def")),
      var("Host", TXC_CONF_TYPE_STRING, &host, 0),
      var("List", TXC_CONF_TYPE_STRLIST, &list, 0),
      var("Fixed", TXC_CONF_TYPE_STRING, fixed, sizeof fixed, text("f")),
      end_var(),
  };
  SectionSpec spec;
  spec.vars = vars;
  txc_conf_task_t tasks[] = {make_task("Main", &spec), end_task()};
  TempConf file("[Main]\nName=n1\nHost=h\nList=a,\"b c\",,d\nList=e\nName=n2\nFixed=xyz\n");

  bool succeeded = false;
  int failed_runs = 0;
  for (long n = 1; n < 200 && !succeeded; ++n) {
    txc_alloc_fail_at(n);
    int rc = read_conf(file.path(), tasks);
    bool injected = txc_alloc_failures() > 0;
    txc_alloc_reset();
    if (rc == 0) {
      ASSERT_FALSE(injected) << "failure at allocation " << n << " was reported as success";
      succeeded = true;
      EXPECT_STREQ(name, "n2");
      EXPECT_STREQ(host, "h");
      EXPECT_EQ(items(list), std::vector<std::string>{"e"});
      EXPECT_STREQ(fixed, "xyz");
      free_conf(tasks);
    } else {
      ASSERT_TRUE(injected) << "failed without an injected failure at " << n;
      ++failed_runs;
      EXPECT_EQ(tasks[0].loaded, 0);
      EXPECT_EQ(name, nullptr) << n;
      EXPECT_EQ(host, nullptr) << n;
      EXPECT_EQ(list, nullptr) << n;
    }
  }
  EXPECT_TRUE(succeeded);
  // Defaults, texts, lists and their items: many allocations can fail.
  EXPECT_GE(failed_runs, 10);
}

}  // namespace
