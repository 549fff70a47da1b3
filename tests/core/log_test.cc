// Logging: targets, level filter, the console format on the real standard
// error, the system-log mode, system-error texts, code tables and the
// contract-check convention.
#define TXC_MODULE "txc_test"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "txc_log.h"
#include "txlib/txlib.h"

// The system log is replaced in this test program, so that what the library
// hands to it can be checked. With fortified headers the library calls
// __vsyslog_chk instead of vsyslog; both are caught.
namespace {
std::vector<std::pair<int, std::string>> g_syslog;

void record_syslog(int priority, const char *format, va_list args) {
  char text[1024];
  vsnprintf(text, sizeof text, format, args);
  g_syslog.emplace_back(priority, text);
}
}  // namespace

extern "C" void vsyslog(int priority, const char *format, va_list args) {
  record_syslog(priority, format, args);
}
extern "C" void __vsyslog_chk(int priority, int /*flag*/, const char *format, va_list args) {
  record_syslog(priority, format, args);
}

namespace {

using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::Not;

// Redirects descriptor 2 to a temporary file for its lifetime.
class StderrCapture {
 public:
  StderrCapture() {
    fflush(stderr);
    char path[] = "/tmp/txc_log_test_XXXXXX";
    file_ = mkstemp(path);
    unlink(path);
    saved_ = dup(2);
    dup2(file_, 2);
  }
  ~StderrCapture() { restore(); }

  // What reached the descriptor so far, without flushing the stream first.
  std::string written() const {
    std::string out;
    char buf[4096];
    off_t pos = 0;
    ssize_t n;
    while ((n = pread(file_, buf, sizeof buf, pos)) > 0) {
      out.append(buf, static_cast<size_t>(n));
      pos += n;
    }
    return out;
  }

  std::string finish() {
    fflush(stderr);
    std::string out = written();
    restore();
    return out;
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    fflush(stderr);
    dup2(saved_, 2);
    close(saved_);
    close(file_);
    saved_ = -1;
  }
  int file_ = -1;
  int saved_ = -1;
};

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    txc_log_set_hook(nullptr, nullptr);
    g_syslog.clear();
  }
  void TearDown() override { txc_log_open("console", 0, 0, 0); }

  // Logs one message at each level 2, 3, 4, 5, 9 and returns standard error.
  static std::string log_all_levels() {
    StderrCapture cap;
    for (int level : {2, 3, 4, 5, 9}) txc_log_message(level, "level %d", level);
    return cap.finish();
  }
};

TEST_F(LogTest, ConsoleTargetsWriteTextAndNewlineToStandardError) {
  for (const char *target : {"console", "Console", "CONSOLE", "consolelog"}) {
    txc_log_open(target, 9, 0, 0);
    StderrCapture cap;
    txc_log_message(2, "txlib: value %d and %s", 42, "text");
    txc_log_message(9, "second");
    EXPECT_EQ(cap.finish(), "txlib: value 42 and text\nsecond\n") << target;
  }
  EXPECT_TRUE(g_syslog.empty());

  // Any other named target switches logging off; "stderr" included.
  for (const char *target : {"stderr", "cons", "", "syslog"}) {
    txc_log_open(target, 9, 0, 0);
    EXPECT_EQ(log_all_levels(), "") << target;
  }
  EXPECT_TRUE(g_syslog.empty());

  // A NULL format writes nothing.
  txc_log_open("console", 9, 0, 0);
  StderrCapture cap;
  txc_log_message(2, nullptr);
  EXPECT_EQ(cap.finish(), "");
}

TEST_F(LogTest, ConsoleMessagesAreFlushedAtOnce) {
  // Make standard error fully buffered: the text must reach the descriptor
  // without anyone else flushing the stream.
  static char buffer[BUFSIZ];
  txc_log_open("console", 9, 0, 0);
  StderrCapture cap;
  setvbuf(stderr, buffer, _IOFBF, sizeof buffer);
  txc_log_message(4, "flushed");
  std::string seen = cap.written();
  setvbuf(stderr, nullptr, _IONBF, 0);
  cap.finish();
  EXPECT_EQ(seen, "flushed\n");
}

TEST_F(LogTest, MaximumLevelFilters) {
  txc_log_open("console", 4, 0, 0);
  EXPECT_EQ(log_all_levels(), "level 2\nlevel 3\nlevel 4\n");
  txc_log_open("console", 9, 0, 0);
  EXPECT_EQ(log_all_levels(), "level 2\nlevel 3\nlevel 4\nlevel 5\nlevel 9\n");
  txc_log_open("console", 2, 0, 0);
  EXPECT_EQ(log_all_levels(), "level 2\n");
  // 0 (quiet) and negative levels log nothing at all, errors included.
  txc_log_open("console", 0, 0, 0);
  EXPECT_EQ(log_all_levels(), "");
  txc_log_open("console", -3, 0, 0);
  EXPECT_EQ(log_all_levels(), "");
  // A later open resets the earlier settings.
  txc_log_open("stderr", 9, 0, 0);
  txc_log_open("console", 3, 0, 0);
  EXPECT_EQ(log_all_levels(), "level 2\nlevel 3\n");
}

TEST_F(LogTest, SystemLogModeUsesOnePriorityForEveryLevel) {
  txc_log_open(nullptr, 9, 8, 3);
  EXPECT_EQ(log_all_levels(), "");  // nothing on standard error
  ASSERT_EQ(g_syslog.size(), 5u);
  for (const auto &[priority, text] : g_syslog) EXPECT_EQ(priority, 8 | 3) << text;
  EXPECT_EQ(g_syslog.front().second, "level 2");
  EXPECT_EQ(g_syslog.back().second, "level 9");

  g_syslog.clear();
  txc_log_open(nullptr, 4, 16, 0);
  log_all_levels();
  ASSERT_EQ(g_syslog.size(), 3u);
  EXPECT_EQ(g_syslog[2], std::make_pair(16, std::string("level 4")));

  g_syslog.clear();
  txc_log_open(nullptr, 0, 0, 0);
  log_all_levels();
  EXPECT_TRUE(g_syslog.empty());
}

TEST_F(LogTest, SystemErrorTextAndCodeTables) {
  txc_log_open("console", 9, 0, 0);
  std::string expected = strerror(ENOENT);
  EXPECT_EQ(stdlib_error(ENOENT), expected);
  expected = strerror(123456);
  EXPECT_EQ(stdlib_error(123456), expected);
  // Works without the lock handle too (after clean-up released it).
  txc_log_release_error_lock();
  expected = strerror(EPIPE);
  EXPECT_EQ(stdlib_error(EPIPE), expected);

  static constexpr txc_code_entry table[] = {
      {0, "zero"}, {1, "one"}, {2, "two"}, {1, "again"}, {-1, nullptr}};
  EXPECT_STREQ(txc_code_text(0, table), "zero");
  EXPECT_STREQ(txc_code_text(1, table), "one");  // the first matching row wins
  EXPECT_STREQ(txc_code_text(2, table), "two");
  EXPECT_STREQ(txc_code_text(3, table), "unknown code or multiple errors");
  EXPECT_STREQ(txc_code_text(1 | 2, table), "unknown code or multiple errors");
  EXPECT_STREQ(txc_code_text(-1, table), "unknown code or multiple errors");  // the end row
  EXPECT_STREQ(txc_code_text(0, nullptr), "unknown code or multiple errors");
}

// A tiny function with a contract, for the checks below.
int needs_positive(int size) {
  TXC_ASSERT(size > 0);
  return size;
}
const int kAssertLine = __LINE__ - 3;

TEST(LogDeathTest, BrokenContractLogsAndAborts) {
  EXPECT_EQ(needs_positive(1), 1);
  const std::string logged =
      "ASSERTION in txc_test(" + std::to_string(kAssertLine) + "): FATAL ERROR: failed size > 0";
  EXPECT_EXIT(
      {
        txc_log_set_hook(nullptr, nullptr);
        txc_log_open("console", 4, 0, 0);
        needs_positive(0);
      },
      ::testing::KilledBySignal(SIGABRT), AllOf(HasSubstr(logged), HasSubstr("(size > 0)")));

  // Quiet: no log line, but the platform's assertion message still shows.
  EXPECT_EXIT(
      {
        txc_log_set_hook(nullptr, nullptr);
        txc_log_open("console", 0, 0, 0);
        needs_positive(-5);
      },
      ::testing::KilledBySignal(SIGABRT),
      AllOf(Not(HasSubstr("ASSERTION in")), HasSubstr("(size > 0)")));
}

TEST(LogDeathTest, NothingIsLoggedBeforeTheLogIsOpened) {
  // A fresh process, so that no earlier test has opened the log.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        txc_log_message(2, "too early");
        fprintf(stderr, "done\n");
        fflush(stderr);
        _exit(0);
      },
      ::testing::ExitedWithCode(0), AllOf(HasSubstr("done"), Not(HasSubstr("too early"))));
}

}  // namespace
