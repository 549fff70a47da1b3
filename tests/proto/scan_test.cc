// Scan requests: wire layout of each kind, backup handling, the answer
// reader (report cutting, size limit, statistics), cut answers and want of
// memory.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "proto_fixture.h"

namespace {

using std::string;

class TempData {
 public:
  explicit TempData(const string &content) {
    char tmpl[] = "/tmp/txscan.XXXXXX";
    int fd = mkstemp(tmpl);
    path_ = tmpl;
    EXPECT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    close(fd);
  }
  ~TempData() { unlink(path_.c_str()); }
  const char *name() const { return path_.c_str(); }
  int len() const { return static_cast<int>(path_.size()); }

 private:
  string path_;
};

string pattern(size_t n) {
  string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 7 + i / 251);
  return s;
}

string strings(const std::vector<string> &v) {
  string s = be32(static_cast<int64_t>(v.size()));
  for (const string &x : v) s += wire_string(x);
  return s;
}

const int kAll = TXC_RETURN_VIRUSES | TXC_RETURN_REPORT | TXC_RETURN_CODES;

// Status, two virus names, two report lines, two statistics pairs.
string full_answer(const string &object) {
  return be32(0x20) + strings({"EICAR", "Test.B"}) +
         strings({object + " infected: EICAR\n", "scan done\n"}) + be32(2) + be32(0x20) + be32(1) +
         be32(0x1000) + be32(3);
}

std::vector<string> viruses_of(txc_scanresult *res) {
  std::vector<string> out;
  txc_strlist *list = txc_scanresult_viruses(res);
  strlist_rewind(list, TXC_STRLIST_FORWARD);
  for (const char *s = strlist_next(list); s != nullptr; s = strlist_next(list)) out.push_back(s);
  return out;
}

TEST_F(Proto, BufferScanLayout) {
  peer_.add_answer(be32(0x20));
  txc_scanresult *res = nullptr;
  const string data = "0123456789";
  EXPECT_EQ(txc_scan_buffer(data.data(), 10, 0, &res, 0), 0);
  EXPECT_EQ(request(), be32(1) + be32(0) + be32(0) + be32(10) + data);
  ASSERT_NE(res, nullptr);
  EXPECT_EQ(txc_scanresult_status(res), 0x20u);
  EXPECT_EQ(txc_scanresult_viruses(res), nullptr);
  txc_scanresult_free(res);
}

TEST_F(Proto, FileScanSendsContentInPieces) {
  const string content = pattern(10000);
  TempData f(content);
  peer_.add_answer(be32(0));
  txc_scanresult *res = nullptr;
  EXPECT_EQ(txc_scan_file(f.name(), f.len(), 0, TXC_HEURISTIC, &res, 0), 0) << log_.dump();
  EXPECT_EQ(request(),
            be32(1) + be32(TXC_HEURISTIC) + be32(f.len()) + f.name() + be32(10000) + content);
  txc_scanresult_free(res);

  TempData empty("");
  peer_.add_answer(be32(0));
  EXPECT_EQ(txc_scan_file(empty.name(), empty.len(), 0, 0, &res, 0), 0);
  EXPECT_EQ(request(2), be32(1) + be32(0) + be32(empty.len()) + empty.name() + be32(0));
  txc_scanresult_free(res);
}

TEST_F(Proto, LocalScanSendsOnlyTheName) {
  peer_.add_answer(be32(0x1));
  txc_scanresult *res = nullptr;
  const string name = "/nonexistent/file";  // the daemon opens it, not the library
  EXPECT_EQ(txc_scan_file(name.c_str(), static_cast<int>(name.size()), 1, 0, &res, 0), 0);
  EXPECT_EQ(request(), be32(1) + be32(0) + be32(17) + name + be32(0));
  EXPECT_EQ(txc_scanresult_status(res), 1u);
  txc_scanresult_free(res);
}

TEST_F(Proto, PartScanLayout) {
  peer_.add_answer(be32(0));
  txc_scanresult *res = nullptr;
  EXPECT_EQ(txc_scan_file_part("/a/b", 4, 100, -1, 0x80000, &res, 0), 0);
  EXPECT_EQ(request(), be32(5) + be32(100) + be32(-1) + be32(0x80000) + be32(4) + "/a/b");
  txc_scanresult_free(res);
}

TEST_F(Proto, MissingFileWithoutLocalScan) {
  peer_.add_answer(be32(0));
  txc_scanresult *res = nullptr;
  int fds = open_fd_count();
  EXPECT_EQ(txc_scan_file("/nonexistent/f", 14, 0, 0, &res, 0), TXC_ERR_BADFILE);
  EXPECT_TRUE(log_.has(2, "txlib: scanfile: cannot open file </nonexistent/f>"));
  EXPECT_TRUE(log_.has(9, "txlib: scanfile failed"));
  EXPECT_EQ(request(), "");  // the session was opened, and closed without a request
  EXPECT_EQ(open_fd_count(), fds);
}

TEST_F(Proto, UnsizableAndOversizedFilesAreRefusedBeforeSending) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  const string pipe_name = "/proc/self/fd/" + std::to_string(p[0]);
  peer_.add_answer(be32(0));
  txc_scanresult *res = nullptr;
  EXPECT_EQ(txc_scan_file(pipe_name.c_str(), static_cast<int>(pipe_name.size()), 0, 0, &res, 0),
            TXC_ERR_BADFILE);
  EXPECT_TRUE(log_.contains("txlib: scanfile: cannot find the size of file"));
  EXPECT_EQ(request(1), "");
  close(p[0]);
  close(p[1]);

  // A sparse file of exactly 4 GiB does not fit the 32-bit data length.
  TempData big("");
  ASSERT_EQ(truncate(big.name(), INT64_C(4294967296)), 0);
  peer_.add_answer(be32(0));
  EXPECT_EQ(txc_scan_file(big.name(), big.len(), 0, 0, &res, 0), TXC_ERR_BADFILE);
  EXPECT_TRUE(log_.contains("is too big (4294967296 bytes"));
  EXPECT_EQ(request(2), "");
  EXPECT_EQ(res, nullptr);
}

TEST_F(Proto, ParameterChecks) {
  txc_scanresult *res = reinterpret_cast<txc_scanresult *>(1);
  const string name(1025, 'n');
  peer_.add_answer(be32(0));
  EXPECT_EQ(txc_scan_file_part(name.c_str(), 1024, 0, 0, 0, &res, 0), 0);  // 1024 is fine
  txc_scanresult_free(res);
  EXPECT_EQ(txc_scan_file(name.c_str(), 1025, 1, 0, &res, 0), TXC_ERR_PARAM);
  EXPECT_EQ(res, nullptr);
  EXPECT_EQ(txc_scan_file("/x", 0, 1, 0, &res, 0), TXC_ERR_PARAM);
  EXPECT_EQ(txc_scan_file(nullptr, 3, 1, 0, &res, 0), TXC_ERR_PARAM);
  EXPECT_EQ(txc_scan_file(nullptr, 0, 1, 0, &res, 0), TXC_ERR_PARAM);
  EXPECT_EQ(txc_scan_file("/x", 5, 1, 0, &res, 0), TXC_ERR_PARAM);  // runs past the text
  EXPECT_EQ(log_.count("txlib: scanfile: bad parameters"), 5);
  EXPECT_EQ(txc_scan_file_part(nullptr, 0, 0, 0, 0, &res, 0), TXC_ERR_PARAM);
  EXPECT_EQ(txc_scan_file_part("/x", 2, 0, 0, 0, nullptr, 0), TXC_ERR_PARAM);
  EXPECT_EQ(log_.count("txlib: scanfilepart: bad parameters"), 2);
  EXPECT_EQ(txc_scan_buffer("abc", 0, 0, &res, 0), TXC_ERR_PARAM);
  EXPECT_EQ(txc_scan_buffer("abc", -1, 0, &res, 0), TXC_ERR_PARAM);
  EXPECT_EQ(log_.count("txlib: scanbuffer: bad parameters (null pointer passed)"), 2);
  EXPECT_EQ(txc_scan_callback(nullptr, nullptr, nullptr, 0, 1, 0, &res, 0), TXC_ERR_PARAM);
  EXPECT_EQ(txc_scan_callback(nullptr, nullptr, nullptr, 0, 1, 0, nullptr, 0), TXC_ERR_PARAM);
  EXPECT_TRUE(log_.has(2, "txlib: scancallback: bad parameter pResult (null pointer passed)"));
  EXPECT_EQ(request(1), be32(5) + be32(0) + be32(0) + be32(0) + be32(1024) + name.substr(0, 1024));
  EXPECT_EQ(peer_.accepted(), 1u);  // no other call reached the daemon

  EXPECT_EQ(txc_cleanup(), 0);
  EXPECT_EQ(txc_scan_buffer(nullptr, 3, 0, &res, 0), TXC_ERR_PARAM);  // even before start-up
  EXPECT_EQ(txc_scan_buffer("abc", 3, 0, &res, 0), TXC_ERR_NOTINIT);
  EXPECT_EQ(txc_scan_file("/x", 2, 0, 0, &res, 0), TXC_ERR_NOTINIT);
  EXPECT_EQ(txc_scan_file_part("/x", 2, 0, 0, 0, &res, 0), TXC_ERR_NOTINIT);
  EXPECT_EQ(txc_scan_callback(nullptr, nullptr, nullptr, 0, 0, 0, &res, 0), TXC_ERR_NOTINIT);
  EXPECT_TRUE(log_.has(2, "txlib: scancallback: library is not initialized"));
  ASSERT_EQ(txc_startup(TXC_LIB_VERSION, peer_.spec().c_str(), 5, 0), 0);
}

TEST(ProtoBackupScan, BackupGetsContentAndNoPartScan) {
  LogCapture log;
  ScriptedPeer backup;
  ASSERT_EQ(txc_startup(TXC_LIB_VERSION, "local:/nonexistent/dir/primary.sock", 5, 0), 0);
  ASSERT_EQ(txc_add_address(backup.spec().c_str(), 5, 0), 0);
  TempData f("hello");
  backup.add_answer(be32(0));
  backup.add_answer(be32(0));
  txc_scanresult *res = nullptr;
  EXPECT_EQ(txc_scan_file(f.name(), f.len(), 1, 0, &res, 0), 0);
  EXPECT_TRUE(log.has(3, "txlib: scanfile: cannot use <localscan> mode on backup tavrixd"));
  auto conns = backup.wait_connections(1);
  ASSERT_EQ(conns.size(), 1u);
  EXPECT_EQ(conns[0].request, be32(1) + be32(0) + be32(f.len()) + f.name() + be32(5) + "hello");
  txc_scanresult_free(res);

  EXPECT_EQ(txc_scan_file_part(f.name(), f.len(), 0, 5, 0, &res, 0), TXC_ERR_TRANSPORT);
  EXPECT_TRUE(log.has(2, "txlib: scanfilepart: cannot create session with local tavrixd"));
  EXPECT_TRUE(log.has(9, "txlib: scanfilepart: ipc-operation failed"));
  conns = backup.wait_connections(2);
  ASSERT_EQ(conns.size(), 2u);
  EXPECT_EQ(conns[1].request, "");
  EXPECT_EQ(res, nullptr);
  EXPECT_EQ(txc_cleanup(), 0);
}

struct Feed {
  explicit Feed(std::vector<int> p) : pieces(std::move(p)) {}
  std::vector<int> pieces;  // what each call returns
  size_t next = 0;
  string sent;
};

int feed_fn(void *buffer, int capacity, void *user) {
  auto *f = static_cast<Feed *>(user);
  EXPECT_EQ(capacity, 4096);
  if (f->next >= f->pieces.size()) return 0;
  int n = f->pieces[f->next++];
  for (int i = 0; i < n && i < capacity; ++i) {
    char c = static_cast<char>('a' + (f->sent.size() % 26));
    static_cast<char *>(buffer)[i] = c;
    f->sent += c;
  }
  return n;
}

TEST_F(Proto, CallbackScan) {
  Feed feed({4096, 4096, 1808});
  peer_.add_answer(be32(0));
  txc_scanresult *res = nullptr;
  EXPECT_EQ(txc_scan_callback(feed_fn, &feed, "obj", 3, 10000, 0, &res, 0), 0);
  EXPECT_EQ(feed.next, 3u);
  EXPECT_EQ(request(), be32(1) + be32(0) + be32(3) + "obj" + be32(10000) + feed.sent);
  txc_scanresult_free(res);

  Feed none({});
  peer_.add_answer(be32(0));
  EXPECT_EQ(txc_scan_callback(feed_fn, &none, nullptr, 0, 0, 0, &res, 0), 0);
  EXPECT_EQ(none.next, 0u);  // nothing to send, no call
  EXPECT_EQ(request(2), be32(1) + be32(0) + be32(0) + be32(0));
  txc_scanresult_free(res);
}

TEST_F(Proto, CallbackOutsideItsContractFailsTheCall) {
  const std::vector<std::vector<int>> bad = {{0}, {-1}, {4096, 4097}, {100, 60}, {5000}};
  size_t conn = 0;
  for (const auto &pieces : bad) {
    Feed feed(pieces);
    peer_.add_answer(be32(0));
    txc_scanresult *res = reinterpret_cast<txc_scanresult *>(1);
    log_.clear();
    EXPECT_EQ(txc_scan_callback(feed_fn, &feed, nullptr, 0, 150, 0, &res, 0), TXC_ERR_TRANSPORT);
    EXPECT_EQ(res, nullptr);
    EXPECT_TRUE(log_.contains("txlib: scancallback: read function returned")) << log_.dump();
    EXPECT_TRUE(log_.has(9, "txlib: scancallback: ipc-operation failed"));
    // Never more on the wire than was announced.
    string req = request(++conn);
    EXPECT_LE(req.size(), 16u + 150u);
  }
}

TEST_F(Proto, FullAnswerWithReportCutting) {
  const string obj = "/home/u/a.com";
  peer_.add({be32(0x20) + strings({"EICAR"}) +
             strings({obj + " infected\n", "pre " + obj + "/x.exe ok\n", "no name here\n",
                      "short\n", ""}) +
             be32(4) + be32(0x20) + be32(2) + be32(0x100) + be32(1) + be32(0x2000) + be32(4) +
             be32(0) + be32(9)});
  txc_scanresult *res = nullptr;
  EXPECT_EQ(txc_scan_file_part(obj.c_str(), static_cast<int>(obj.size()), 0, 0, kAll, &res, 0), 0)
      << log_.dump();
  ASSERT_NE(res, nullptr);
  EXPECT_EQ(txc_scanresult_status(res), 0x20u);
  EXPECT_EQ(viruses_of(res), std::vector<string>{"EICAR"});
  // The object's directories are cut off, a line not naming it is dropped,
  // a line not longer than the cut is kept whole.
  EXPECT_STREQ(txc_scanresult_report(res), "a.com infected\na.com/x.exe ok\nshort\n");
  const txc_scanstat *st = txc_scanresult_stat(res);
  EXPECT_EQ(st->infected, 2);
  EXPECT_EQ(st->cured, 1);
  EXPECT_EQ(st->archive_restricted, 4);
  EXPECT_EQ(st->skipped + st->suspicious + st->filter_rejected + st->scan_errors, 0);
  txc_scanresult_free(res);
}

TEST_F(Proto, ReportSizeLimitKeepsStreamInStep) {
  // 8, 15 and 5 characters under a limit of 20: the second is dropped. The
  // 100000-byte line is far over the limit and is read past.
  peer_.add_answer(be32(0) + strings({"EICAR", string(100000, 'v'), "X"}) +
                   strings({"aaaaaaa\n", string(14, 'b') + "\n", string(100000, 'c'), "dddd\n"}) +
                   be32(1) + be32(0x40) + be32(6));
  txc_scanresult *res = nullptr;
  EXPECT_EQ(txc_scan_buffer("x", 1, kAll, &res, 20), 0) << log_.dump();
  ASSERT_NE(res, nullptr);
  EXPECT_EQ(viruses_of(res), (std::vector<string>{"EICAR", "X"}));
  EXPECT_STREQ(txc_scanresult_report(res), "aaaaaaa\ndddd\n");
  EXPECT_EQ(txc_scanresult_stat(res)->suspicious, 6);
  txc_scanresult_free(res);

  // Without a limit a long line arrives whole.
  peer_.add_answer(be32(0) + strings({string(200000, 'r')}));
  EXPECT_EQ(txc_scan_buffer("x", 1, TXC_RETURN_REPORT, &res, 0), 0);
  EXPECT_EQ(string(txc_scanresult_report(res)), string(200000, 'r'));
  txc_scanresult_free(res);
}

TEST_F(Proto, HostileLengthsAndCounts) {
  txc_scanresult *res = reinterpret_cast<txc_scanresult *>(1);
  // A negative virus-name length.
  peer_.add_answer(be32(0) + be32(1) + be32(-4));
  EXPECT_EQ(txc_scan_buffer("x", 1, TXC_RETURN_VIRUSES, &res, 0), TXC_ERR_TRANSPORT);
  EXPECT_EQ(res, nullptr);
  // A huge count of report lines, then the daemon stops.
  PeerScript s{be32(0) + be32(INT_MAX) + wire_string("line\n")};
  s.cut_after = s.answer.size();
  peer_.add(s);
  EXPECT_EQ(txc_scan_buffer("x", 1, TXC_RETURN_REPORT, &res, 0), TXC_ERR_TRANSPORT);
  // A huge count of statistics pairs, then the daemon stops.
  PeerScript t{be32(0) + be32(INT_MAX) + be32(0x20) + be32(1)};
  t.cut_after = t.answer.size();
  peer_.add(t);
  EXPECT_EQ(txc_scan_buffer("x", 1, TXC_RETURN_CODES, &res, 0), TXC_ERR_TRANSPORT);
  // Zero-length names, negative and zero counts.
  peer_.add_answer(be32(0x20) + be32(2) + be32(0) + wire_string("V") + be32(-3) + be32(-1));
  EXPECT_EQ(txc_scan_buffer("x", 1, kAll, &res, 0), 0);
  ASSERT_NE(res, nullptr);
  EXPECT_EQ(viruses_of(res), std::vector<string>{"V"});
  EXPECT_STREQ(txc_scanresult_report(res), "");
  EXPECT_EQ(txc_scanresult_stat(res)->infected, 0);
  txc_scanresult_free(res);
}

TEST_F(Proto, CutScanAnswersFailCleanly) {
  const string answer = full_answer("[MemoryBuffer]");
  const string req = be32(1) + be32(kAll) + be32(0) + be32(3) + "abc";
  for (size_t cut = 0; cut < answer.size(); ++cut) {
    PeerScript s{answer};
    s.wait_for = req.size();
    s.cut_after = cut;
    peer_.add(s);
    size_t before = peer_.wait_connections(0).size();
    int fds = open_fd_count();
    txc_scanresult *res = reinterpret_cast<txc_scanresult *>(1);
    EXPECT_EQ(txc_scan_buffer("abc", 3, kAll, &res, 0), TXC_ERR_TRANSPORT) << "cut " << cut;
    EXPECT_EQ(res, nullptr);
    auto conns = peer_.wait_connections(before + 1);
    EXPECT_EQ(conns.back().request, req);
    EXPECT_EQ(open_fd_count(), fds) << "cut " << cut;
  }
  // The whole answer works.
  peer_.add_answer(answer);
  txc_scanresult *res = nullptr;
  EXPECT_EQ(txc_scan_buffer("abc", 3, kAll, &res, 0), 0);
  EXPECT_EQ(viruses_of(res), (std::vector<string>{"EICAR", "Test.B"}));
  EXPECT_STREQ(txc_scanresult_report(res), "[MemoryBuffer] infected: EICAR\nscan done\n");
  EXPECT_EQ(txc_scanresult_stat(res)->skipped, 3);
  txc_scanresult_free(res);
}

TEST_F(Proto, ScansSurviveEveryAllocationFailure) {
  TempData f("content");
  peer_.set_default(PeerScript{full_answer(f.name())});
  for (int kind = 0; kind < 2; ++kind) {
    for (long n = 1;; ++n) {
      txc_alloc_fail_at(n);
      txc_scanresult *res = reinterpret_cast<txc_scanresult *>(1);
      Feed feed({7});
      int rc = kind == 0 ? txc_scan_file(f.name(), f.len(), 0, kAll, &res, 0)
                         : txc_scan_callback(feed_fn, &feed, f.name(), f.len(), 7, kAll, &res, 0);
      long failures = txc_alloc_failures();
      txc_alloc_reset();
      if (failures == 0) {
        EXPECT_EQ(rc, 0) << kind << "/" << n << "\n" << log_.dump();
        ASSERT_NE(res, nullptr);
        EXPECT_EQ(viruses_of(res).size(), 2u);
        EXPECT_NE(string(txc_scanresult_report(res)).find("infected: EICAR"), string::npos);
        txc_scanresult_free(res);
        break;
      }
      EXPECT_TRUE(rc == TXC_ERR_TRANSPORT || (kind == 1 && rc == TXC_ERR_NOMEM))
          << kind << "/" << n << ": " << rc;
      EXPECT_EQ(res, nullptr) << kind << "/" << n;
      ASSERT_LT(n, 100);
    }
  }
}

}  // namespace
