// Daemon address list: timeouts, direct specifications and PID files.
#include "txc_addrlist.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/log_capture.h"
#include "txc_alloc.h"

namespace {

class TempFile {
 public:
  explicit TempFile(const std::string &content) {
    char tmpl[] = "/tmp/txpid.XXXXXX";
    int fd = mkstemp(tmpl);
    path_ = tmpl;
    EXPECT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    close(fd);
  }
  ~TempFile() { unlink(path_.c_str()); }
  std::string spec(const char *prefix = "pid:") const { return prefix + path_; }
  const std::string &path() const { return path_; }

 private:
  std::string path_;
};

struct Entry {
  int type;
  std::string name;
  int timeout;
};

class AddrList : public ::testing::Test {
 protected:
  void SetUp() override { list_ = addrlist_create(); }
  void TearDown() override { addrlist_destroy(list_); }

  std::vector<Entry> entries() {
    std::vector<Entry> out;
    for (txc_addrentry_t *e = addrlist_next(list_, nullptr); e != nullptr;
         e = addrlist_next(list_, e)) {
      out.push_back(
          {addrlist_entry_type(e), addrlist_entry_addr(e)->name, addrlist_entry_timeout(e)});
    }
    return out;
  }
  int add(const std::string &spec, int seconds = 0) {
    return addrlist_add(list_, spec.c_str(), seconds, 0);
  }

  LogCapture log_;
  txc_addrlist_t *list_ = nullptr;
};

TEST_F(AddrList, TimeoutsInSecondsBecomeMilliseconds) {
  EXPECT_EQ(add("local:/tmp/a", 0), 1);
  EXPECT_EQ(add("local:/tmp/b", -7), 1);
  EXPECT_EQ(add("local:/tmp/c", 14400), 1);
  EXPECT_EQ(add("local:/tmp/d", 3), 1);
  EXPECT_TRUE(log_.has(5,
                       "txlib: set timeout for each scanning session with local:/tmp/d to 3000 "
                       "milliseconds"));
  EXPECT_EQ(add("local:/tmp/e", 14401), 0);
  EXPECT_TRUE(log_.has(2,
                       "txlib: invalid timeout 14401 specified (should be in 0 (infinite) .. 4 "
                       "hours in seconds)"));
  auto e = entries();
  ASSERT_EQ(e.size(), 4u);
  EXPECT_EQ(e[0].timeout, -1);
  EXPECT_EQ(e[1].timeout, -1);
  EXPECT_EQ(e[2].timeout, 14400000);
  EXPECT_EQ(e[3].timeout, 3000);
  // Order of addition is the order of preference; duplicates are kept.
  EXPECT_EQ(e[0].name, "/tmp/a");
  EXPECT_EQ(e[3].name, "/tmp/d");
  EXPECT_EQ(add("local:/tmp/a"), 1);
  EXPECT_EQ(entries().size(), 5u);
}

TEST_F(AddrList, DirectSpecificationsAndRefusals) {
  EXPECT_EQ(add("inet:3000@127.0.0.1"), 1);
  EXPECT_TRUE(log_.has(9, "txlib: dont match to pid:"));
  EXPECT_TRUE(log_.has(9, "txlib: address inet:3000@127.0.0.1 added to list"));
  EXPECT_EQ(add("local:relative"), 0);  // refused by the address parser
  log_.clear();
  EXPECT_EQ(add(""), 0);  // nothing to add, no message of its own
  EXPECT_FALSE(log_.contains("cannot add"));
  auto e = entries();
  ASSERT_EQ(e.size(), 1u);
  EXPECT_EQ(e[0].type, TXC_IPC_TYPE_TCP);

  EXPECT_EQ(addrlist_add(nullptr, "local:/x", 0, 0), 0);
  EXPECT_EQ(addrlist_add(list_, nullptr, 0, 0), 0);
  EXPECT_EQ(log_.count("txlib: null args passed to addrlist_add routine"), 2);
}

TEST_F(AddrList, PidFileGivesOneEntryPerAddressLine) {
  TempFile f("4711\n/tmp/sock\n127.0.0.1:3000\n");
  EXPECT_EQ(add(f.spec(), 2), 1);
  EXPECT_TRUE(log_.has(5, "txlib: daemon pid = 4711"));
  EXPECT_TRUE(log_.has(9, "txlib: address local:/tmp/sock added to list"));
  EXPECT_TRUE(log_.has(9, "txlib: address inet:3000@127.0.0.1 added to list"));
  auto e = entries();
  ASSERT_EQ(e.size(), 2u);
  EXPECT_EQ(e[0].type, TXC_IPC_TYPE_UNIX);
  EXPECT_EQ(e[0].name, "/tmp/sock");
  EXPECT_EQ(e[0].timeout, 2000);
  EXPECT_EQ(e[1].type, TXC_IPC_TYPE_TCP);
  EXPECT_EQ(e[1].name, "127.0.0.1");

  // The prefix is recognised in any case; the PID line may carry junk.
  TempFile g("  -12abc\n/tmp/other\n");
  EXPECT_EQ(add(g.spec("PID:")), 1);
  EXPECT_TRUE(log_.has(5, "txlib: daemon pid = -12"));
  EXPECT_EQ(entries().size(), 3u);
}

TEST_F(AddrList, PidFileLineForms) {
  // Blanks are removed, HOST:PORT splits at the last colon, a leading "/"
  // makes a path whatever follows, CR LF line ends are fine.
  TempFile f("1\r\n host name : 3000\r\na:b:3000\n/tmp/a:b\n");
  EXPECT_EQ(add(f.spec()), 1) << log_.dump();
  EXPECT_TRUE(log_.has(9, "txlib: address inet:3000@hostname added to list"));
  EXPECT_TRUE(log_.has(9, "txlib: address inet:3000@a:b added to list"));
  EXPECT_TRUE(log_.has(9, "txlib: address local:/tmp/a:b added to list"));
  EXPECT_EQ(entries().size(), 3u);
}

TEST_F(AddrList, PidFileFailures) {
  struct Case {
    std::string content;
    std::string message;  // "%s" stands for the file name
  };
  const std::vector<Case> cases = {
      {"", "txlib: cannot read line 1 from daemon pidfile %s"},
      {"4711\n", "txlib: cannot read line 2 from daemon pidfile %s"},
      {"daemon\n/tmp/s\n", "txlib: cannot read PID from daemon pidfile %s"},
      {"1\n /tmp/sock\n",
       "txlib: read pidfile: cannot parse inet-address in  /tmp/sock\n from "
       "pidfile"},
      // A trailing empty line fails the whole file: nothing of it is added.
      {"1\n/tmp/s\n\n", "txlib: read pidfile: cannot parse inet-address in \n from pidfile"},
  };
  for (const Case &c : cases) {
    TempFile f(c.content);
    log_.clear();
    EXPECT_EQ(add(f.spec()), 0) << c.content;
    std::string msg = c.message;
    if (auto at = msg.find("%s"); at != std::string::npos) msg.replace(at, 2, f.path());
    EXPECT_TRUE(log_.has(2, msg)) << c.content << "\n" << log_.dump();
  }
  EXPECT_TRUE(entries().empty());

  EXPECT_EQ(add("pid:/nonexistent/tavrix.pid"), 0);
  EXPECT_TRUE(log_.has(2, "txlib: cannot open daemon pidfile /nonexistent/tavrix.pid"));
}

TEST_F(AddrList, PidFileRefusedSecondAddressKeepsFirst) {
  TempFile f("1\n/tmp/first\nfoo:\n");  // empty port: the parser refuses it
  EXPECT_EQ(add(f.spec()), 0);
  auto e = entries();
  ASSERT_EQ(e.size(), 1u);
  EXPECT_EQ(e[0].name, "/tmp/first");
}

TEST_F(AddrList, PidFileLongLines) {
  // A line of exactly 253 characters is one line, its line end included.
  std::string exact = "/tmp/" + std::string(248, 'a');
  ASSERT_EQ(exact.size(), 253u);
  TempFile f("1\n" + exact + "\n/tmp/next\n");
  EXPECT_EQ(add(f.spec()), 1) << log_.dump();
  auto e = entries();
  ASSERT_EQ(e.size(), 2u);
  EXPECT_EQ(e[0].name, exact);
  EXPECT_EQ(e[1].name, "/tmp/next");

  // A longer line is read as several lines.
  TempFile g("1\n" + exact + "x:3000\n");
  EXPECT_EQ(add(g.spec()), 1) << log_.dump();
  EXPECT_TRUE(log_.has(9, "txlib: address inet:3000@x added to list"));
  EXPECT_EQ(entries().size(), 4u);
}

TEST_F(AddrList, WalkAndAccessorsOnEmptyAndNull) {
  EXPECT_EQ(addrlist_next(list_, nullptr), nullptr);
  EXPECT_EQ(addrlist_next(nullptr, nullptr), nullptr);
  EXPECT_EQ(addrlist_entry_type(nullptr), 0);
  EXPECT_EQ(addrlist_entry_addr(nullptr), nullptr);
  EXPECT_EQ(addrlist_entry_timeout(nullptr), 0);
  addrlist_destroy(nullptr);
}

TEST(AddrListAlloc, EveryAllocationFailureIsReportedAndReleased) {
  LogCapture log;
  TempFile f("1\n/tmp/a\n127.0.0.1:3000\n");
  const std::string spec = f.spec();
  for (long n = 1;; ++n) {
    txc_alloc_fail_at(n);
    txc_addrlist_t *list = addrlist_create();
    int ok = list != nullptr ? addrlist_add(list, spec.c_str(), 0, 0) : 0;
    long failures = txc_alloc_failures();
    txc_alloc_reset();
    int count = 0;
    for (txc_addrentry_t *e = addrlist_next(list, nullptr); e; e = addrlist_next(list, e)) ++count;
    addrlist_destroy(list);
    if (failures == 0) {
      EXPECT_EQ(ok, 1);
      EXPECT_EQ(count, 2);
      EXPECT_GT(n, 3);
      break;
    }
    EXPECT_EQ(ok, 0) << "allocation " << n;
    EXPECT_LT(count, 2) << "allocation " << n;
    ASSERT_LT(n, 200);
  }
  EXPECT_TRUE(log.contains("txlib: no memory for address list"));
  EXPECT_TRUE(log.contains("txlib: no memory for address entry"));
  EXPECT_TRUE(log.contains("txlib: no memory for address spec"));
}

}  // namespace
