// The stand-in daemon on its own: requests written byte by byte, hostile
// requests, several clients at once, start-up and stop.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "support/process.h"

namespace {

class DaemonE2E : public ::testing::Test {
 protected:
  void start(const std::vector<std::string> &extra = {}) {
    ASSERT_TRUE(daemon_.start(dir_.path(), extra)) << daemon_.log();
  }
  void TearDown() override {
    if (daemon_.running()) {
      EXPECT_EQ(daemon_.stop(), 0) << daemon_.log();
    }
  }

  // The daemon still answers a version query.
  bool answers() {
    RawConn c(daemon_.socket_path());
    int32_t v = 0;
    return c.ok() && c.send_ints({2}) && c.read_int(&v) && v == 429;
  }

  TempDir dir_;
  Daemon daemon_;
};

TEST_F(DaemonE2E, PidFileListsProcessAndAddresses) {
  ASSERT_TRUE(daemon_.start(dir_.path(), {}, true, 0)) << daemon_.log();
  ASSERT_GT(daemon_.port(), 0);
  EXPECT_EQ(read_file(daemon_.pid_file()),
            std::to_string(daemon_.pid()) + "\n" + daemon_.socket_path() +
                "\n127.0.0.1:" + std::to_string(daemon_.port()) + "\n");
}

TEST_F(DaemonE2E, ScanAnswerLayoutFollowsTheFlags) {
  std::string name = dir_.file("sample.com");
  ProcessResult w = run_standin({"--write-test-file", name});
  ASSERT_EQ(w.status, 0);
  std::string content = read_file(name);
  start();

  // Content, all three items: names, report lines, statistics.
  RawConn c(daemon_.socket_path());
  ASSERT_TRUE(c.send_ints({1, 7, static_cast<int32_t>(name.size())}));
  ASSERT_TRUE(c.send_bytes(name));
  ASSERT_TRUE(c.send_ints({static_cast<int32_t>(content.size())}));
  ASSERT_TRUE(c.send_bytes(content));
  int32_t status = 0, count = 0, code = 0, n = 0;
  std::string text;
  ASSERT_TRUE(c.read_int(&status));
  EXPECT_EQ(status, 0x20);
  ASSERT_TRUE(c.read_int(&count));
  ASSERT_EQ(count, 1);
  ASSERT_TRUE(c.read_string(&text));
  EXPECT_EQ(text, "EICAR-Test-File");
  ASSERT_TRUE(c.read_int(&count));
  ASSERT_EQ(count, 1);
  ASSERT_TRUE(c.read_string(&text));
  EXPECT_EQ(text, name + "\tinfected: EICAR-Test-File\n");
  ASSERT_TRUE(c.read_int(&count));
  ASSERT_EQ(count, 1);
  ASSERT_TRUE(c.read_int(&code) && c.read_int(&n));
  EXPECT_EQ(code, 0x20);
  EXPECT_EQ(n, 1);
  EXPECT_TRUE(c.closed_by_peer());

  // Flags 0: the status word alone, then the end of the connection.
  RawConn plain(daemon_.socket_path());
  ASSERT_TRUE(plain.send_ints({1, 0, 0, 3}));
  ASSERT_TRUE(plain.send_bytes("abc"));
  EXPECT_EQ(plain.read_all(), std::string(4, '\0'));
}

TEST_F(DaemonE2E, LocalFileFailuresAreStatusWords) {
  start();
  std::string missing = dir_.file("missing");
  RawConn c(daemon_.socket_path());
  ASSERT_TRUE(c.send_ints({1, 2, static_cast<int32_t>(missing.size())}));
  ASSERT_TRUE(c.send_bytes(missing));
  ASSERT_TRUE(c.send_ints({0}));
  int32_t status = 0, count = 0;
  std::string line;
  ASSERT_TRUE(c.read_int(&status));
  EXPECT_EQ(status, 0x1);
  ASSERT_TRUE(c.read_int(&count));
  ASSERT_EQ(count, 1);
  ASSERT_TRUE(c.read_string(&line));
  EXPECT_EQ(line, missing + "\tread error\n");

  // Range requests with a negative offset or length, or without a name.
  std::string file = dir_.file("f");
  ASSERT_TRUE(write_file(file, "data"));
  struct {
    int32_t offset, length, name_len;
  } bad[] = {{-1, 10, static_cast<int32_t>(file.size())},
             {0, -10, static_cast<int32_t>(file.size())},
             {0, 10, 0}};
  for (const auto &b : bad) {
    RawConn r(daemon_.socket_path());
    ASSERT_TRUE(r.send_ints({5, b.offset, b.length, 0, b.name_len}));
    if (b.name_len > 0) {
      ASSERT_TRUE(r.send_bytes(file));
    }
    ASSERT_TRUE(r.read_int(&status));
    EXPECT_EQ(status, 0x8000) << b.offset << " " << b.length << " " << b.name_len;
  }

  // A FIFO without a writer must not stall the daemon.
  std::string fifo = dir_.file("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  RawConn f(daemon_.socket_path());
  ASSERT_TRUE(f.send_ints({1, 0, static_cast<int32_t>(fifo.size())}));
  ASSERT_TRUE(f.send_bytes(fifo));
  ASSERT_TRUE(f.send_ints({0}));
  ASSERT_TRUE(f.read_int(&status));
  EXPECT_EQ(status, 0x800);
}

TEST_F(DaemonE2E, HostileRequestsCloseTheConnectionOnly) {
  start();
  std::vector<std::vector<int32_t>> requests = {
      {0},  // unknown command words
      {6},
      {-1},
      {0x7fffffff},
      {1, 0, -1},    // negative name length
      {1, 0, 1025},  // name too long
      {1, 0, 0x7fffffff},
      {5, 0, 10, 0, -5},  // the same in a range request
      {5, 0, 10, 0, 100000},
  };
  for (const auto &req : requests) {
    RawConn c(daemon_.socket_path());
    ASSERT_TRUE(c.ok());
    ASSERT_TRUE(c.send_ints(req));
    EXPECT_TRUE(c.closed_by_peer()) << req[0] << " " << req.back();
  }
  // A name of exactly 1024 bytes is fine.
  RawConn ok(daemon_.socket_path());
  ASSERT_TRUE(ok.send_ints({1, 0, 1024}));
  ASSERT_TRUE(ok.send_bytes(std::string(1024, 'n')));
  ASSERT_TRUE(ok.send_ints({4}));
  ASSERT_TRUE(ok.send_bytes("abcd"));
  int32_t status = -1;
  ASSERT_TRUE(ok.read_int(&status));
  EXPECT_EQ(status, 0);

  // Announcing 4 GiB and hanging up: nothing is allocated for it, the
  // daemon just sees the end of the connection.
  {
    RawConn c(daemon_.socket_path());
    ASSERT_TRUE(c.send_ints({1, 0, 0, -1}));
    ASSERT_TRUE(c.send_bytes("only a little"));
  }
  // Requests cut short anywhere.
  {
    RawConn c(daemon_.socket_path());
    ASSERT_TRUE(c.send_bytes(std::string("\0\0", 2)));
  }
  EXPECT_TRUE(answers());
  EXPECT_EQ(kill(daemon_.pid(), 0), 0);
}

TEST_F(DaemonE2E, ServesAnotherClientWhileOneIsStalled) {
  start();
  RawConn stalled(daemon_.socket_path());
  ASSERT_TRUE(stalled.send_ints({1, 0, 0, 100}));  // announces data it never sends
  ProcessResult r = run_process({TAVRIXDC_PATH, "-u", daemon_.socket_path(), "-sv"}, "", 10000);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 16);
  EXPECT_EQ(r.out.rfind("- Version: Tavrix Daemon 4.29\n", 0), 0u);
  // The stalled request is still served once its data comes.
  ASSERT_TRUE(stalled.send_bytes(std::string(100, 'z')));
  int32_t status = -1;
  ASSERT_TRUE(stalled.read_int(&status));
  EXPECT_EQ(status, 0);
}

TEST_F(DaemonE2E, ConnectionsBeyondTheBoundWaitForAFreeSlot) {
  start({"--max-clients", "1"});
  RawConn first(daemon_.socket_path());
  ASSERT_TRUE(first.send_ints({1, 0, 0, 10}));  // data still to come
  RawConn second(daemon_.socket_path());
  ASSERT_TRUE(second.send_ints({2}));
  EXPECT_FALSE(second.readable_within(300)) << "served beyond the bound";
  ASSERT_TRUE(first.send_bytes(std::string(10, 'd')));
  int32_t v = 0;
  ASSERT_TRUE(first.read_int(&v));
  EXPECT_EQ(v, 0);
  ASSERT_TRUE(second.read_int(&v));
  EXPECT_EQ(v, 429);
}

TEST_F(DaemonE2E, CloseAfterSendsExactlyThatManyBytes) {
  start({"--close-after", "6"});
  RawConn c(daemon_.socket_path());
  ASSERT_TRUE(c.send_ints({1, 1, 0, 2}));
  ASSERT_TRUE(c.send_bytes("ab"));
  EXPECT_EQ(c.read_all(), std::string(6, '\0'));
}

TEST_F(DaemonE2E, StopSignalsRemoveTheFilesEvenWithPendingConnections) {
  for (int sig : {SIGTERM, SIGINT}) {
    TempDir dir;
    Daemon d;
    ASSERT_TRUE(d.start(dir.path(), {"--hang"})) << d.log();
    RawConn hung(d.socket_path());
    ASSERT_TRUE(hung.send_ints({2}));
    RawConn partial(d.socket_path());
    ASSERT_TRUE(partial.send_ints({1, 0}));
    EXPECT_EQ(d.stop(sig), 0) << sig << "\n" << d.log();
    EXPECT_FALSE(file_exists(d.socket_path()));
    EXPECT_FALSE(file_exists(d.pid_file()));
    EXPECT_TRUE(hung.closed_by_peer());
  }
}

TEST_F(DaemonE2E, StartUpRefusesWhatItMustNotTouch) {
  // A regular file where the socket should go stays as it was.
  std::string sock = dir_.file("daemon.sock");
  ASSERT_TRUE(write_file(sock, "precious"));
  ProcessResult r = run_standin({"--socket", sock, "--pidfile", dir_.file("daemon.pid")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(read_file(sock), "precious");
  EXPECT_FALSE(file_exists(dir_.file("daemon.pid")));
  ASSERT_EQ(unlink(sock.c_str()), 0);

  // A socket file nobody listens on any more is replaced.
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  struct sockaddr_un sun;
  memset(&sun, 0, sizeof sun);
  sun.sun_family = AF_UNIX;
  strncpy(sun.sun_path, sock.c_str(), sizeof sun.sun_path - 1);
  ASSERT_EQ(bind(fd, reinterpret_cast<struct sockaddr *>(&sun), sizeof sun), 0);
  close(fd);
  start();
  EXPECT_TRUE(answers());

  // A second daemon on a live socket gives up and leaves it working.
  r = run_standin({"--socket", sock});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(answers());
}

TEST_F(DaemonE2E, CommandLine) {
  ProcessResult r = run_standin({"--help"});
  EXPECT_EQ(r.status, 0);
  for (const char *opt :
       {"--socket", "--tcp", "--pidfile", "--version", "--id", "--base", "--signatures", "--status",
        "--delay", "--close-after", "--hang", "--write-test-file"})
    EXPECT_NE(r.out.find(opt), std::string::npos) << opt;

  EXPECT_EQ(run_standin({}).status, 2);  // nothing to listen on
  EXPECT_EQ(run_standin({"--tcp", "70000"}).status, 2);
  EXPECT_EQ(run_standin({"--tcp", "0", "--base", "nocount"}).status, 2);
  EXPECT_EQ(run_standin({"--socket", "/tmp/" + std::string(120, 's')}).status, 2);

  std::string sigs = dir_.file("bad.sig");
  ASSERT_TRUE(write_file(sigs, "Good 0102\n\nBad 0g\n"));
  r = run_standin({"--tcp", "0", "--signatures", sigs});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("line 3"), std::string::npos) << r.err;
}

TEST_F(DaemonE2E, WrittenTestFileIsTheStandardOne) {
  std::string path = dir_.file("t.com");
  ASSERT_EQ(run_standin({"--write-test-file", path}).status, 0);
  std::string bytes = read_file(path);
  ASSERT_EQ(bytes.size(), 68u);
  // FNV-1a of the standard 68-byte test file.
  uint64_t h = 0xcbf29ce484222325ull;
  for (unsigned char ch : bytes) h = (h ^ ch) * 0x100000001b3ull;
  EXPECT_EQ(h, 0x4c4b83eef5c7ac63ull);
}

}  // namespace
