// Checks of the benchmark tools themselves: a sink that answered wrongly, a
// floor that failed quietly or a driver that accepted failing runs would
// make every figure meaningless. bench/run.sh runs this before measuring.
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "txlib/txlib.h"

namespace {

const std::string kBin = TXBENCH_BIN_DIR;

struct Result {
  int status = -1;
  std::string out;
};

// Runs argv to completion with stdin from /dev/null; stdout captured.
Result run(std::vector<std::string> args) {
  int pipefd[2];
  if (pipe(pipefd) != 0) return {};
  pid_t pid = fork();
  if (pid == 0) {
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(pipefd[1], 1);
    dup2(null, 2);
    close(pipefd[0]);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(pipefd[1]);
  Result r;
  char buf[4096];
  ssize_t n;
  while ((n = read(pipefd[0], buf, sizeof buf)) > 0) r.out.append(buf, static_cast<size_t>(n));
  close(pipefd[0]);
  int status;
  waitpid(pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return r;
}

// A sink on a UNIX socket and a free TCP port, stopped at the end.
class SinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/txbench-test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    sock_ = dir_ + "/sink.sock";
    int pipefd[2];
    ASSERT_EQ(pipe(pipefd), 0);
    pid_ = fork();
    if (pid_ == 0) {
      dup2(pipefd[1], 1);
      close(pipefd[0]);
      execl((kBin + "/txbench-sink").c_str(), "txbench-sink", "-u", sock_.c_str(), "-p", "0",
            static_cast<char *>(nullptr));
      _exit(127);
    }
    close(pipefd[1]);
    char line[64] = {};
    ssize_t n = read(pipefd[0], line, sizeof line - 1);
    close(pipefd[0]);
    ASSERT_GT(n, 0) << "sink did not start";
    ASSERT_EQ(sscanf(line, "ready %d", &port_), 1) << line;
  }
  void TearDown() override {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      int status;
      waitpid(pid_, &status, 0);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
      EXPECT_NE(access(sock_.c_str(), F_OK), 0) << "socket file left behind";
    }
    for (auto &f : files_) unlink(f.c_str());
    rmdir(dir_.c_str());
  }
  std::string make_file(const char *name, size_t size) {
    std::string path = dir_ + "/" + name;
    FILE *f = fopen(path.c_str(), "wb");
    std::vector<char> data(size, 'z');
    if (f != nullptr) {
      fwrite(data.data(), 1, size, f);
      fclose(f);
    }
    files_.push_back(path);
    return path;
  }
  // Every request the library can make, each answered as a clean object.
  void exercise_library(const std::string &spec) {
    ASSERT_EQ(txc_startup(TXC_LIB_VERSION, spec.c_str(), 10, 0), TXC_OK);
    int major = 0, minor = 0;
    EXPECT_EQ(txc_daemon_version(&major, &minor), TXC_OK);
    EXPECT_EQ(major, 4);
    EXPECT_EQ(minor, 29);
    char *id = nullptr;
    EXPECT_EQ(txc_daemon_id(&id), TXC_OK);
    EXPECT_STREQ(id, "txbench sink");
    free(id);
    char *bases = nullptr;
    int total = -1;
    EXPECT_EQ(txc_daemon_bases(&bases, &total), TXC_OK);
    EXPECT_EQ(total, 0);
    free(bases);

    const int all = TXC_RETURN_VIRUSES | TXC_RETURN_REPORT | TXC_RETURN_CODES;
    std::vector<char> buf(3000, 'q');
    for (int flags : {0, all}) {
      txc_scanresult *res = nullptr;
      EXPECT_EQ(txc_scan_buffer(buf.data(), static_cast<int>(buf.size()), flags, &res, 0), TXC_OK);
      EXPECT_EQ(txc_scanresult_status(res), 0u);
      txc_scanresult_free(res);
    }
    // Several pieces and a short last one; the answer arrives only once the
    // sink has taken in every byte.
    std::string file = make_file("content.dat", 3 * 4096 + 17);
    for (int local : {0, 1}) {
      txc_scanresult *res = nullptr;
      EXPECT_EQ(txc_scan_file(file.c_str(), static_cast<int>(file.size()), local, all, &res, 0),
                TXC_OK);
      EXPECT_EQ(txc_scanresult_status(res), 0u);
      txc_scanresult_free(res);
    }
    txc_scanresult *res = nullptr;
    EXPECT_EQ(txc_scan_file_part(file.c_str(), static_cast<int>(file.size()), 10, 20, all, &res, 0),
              TXC_OK);
    txc_scanresult_free(res);
    // One connection after another.
    for (int i = 0; i < 300; ++i) ASSERT_EQ(txc_daemon_version(&major, &minor), TXC_OK) << i;
    EXPECT_EQ(txc_cleanup(), TXC_OK);
  }

  std::string dir_, sock_;
  std::vector<std::string> files_;
  pid_t pid_ = -1;
  int port_ = 0;
};

TEST_F(SinkTest, AnswersEveryLibraryRequestOverBothTransports) {
  exercise_library("local:" + sock_);
  exercise_library("inet:" + std::to_string(port_) + "@127.0.0.1");
}

TEST_F(SinkTest, BrokenRequestsDoNotStopTheAcceptLoop) {
  auto connect_raw = [&]() {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    strcpy(sa.sun_path, sock_.c_str());
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
    return fd;
  };
  // A scan that stops in its data, and an unknown command: no answer, the
  // connection is closed.
  const unsigned char truncated[] = {0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 'a', 'b'};
  int fd = connect_raw();
  ASSERT_EQ(send(fd, truncated, sizeof truncated, 0), static_cast<ssize_t>(sizeof truncated));
  close(fd);
  const unsigned char unknown[] = {0, 0, 0, 99};
  fd = connect_raw();
  ASSERT_EQ(send(fd, unknown, sizeof unknown, 0), 4);
  char c;
  EXPECT_EQ(recv(fd, &c, 1, 0), 0);
  close(fd);
  EXPECT_EQ(run({kBin + "/txbench-floor-min", "-u", sock_, "-v"}).status, 0);
}

TEST_F(SinkTest, FloorsCompleteTheirRequestsAndFailWithoutASink) {
  std::string small = make_file("small.dat", 1024);
  std::string big = make_file("big.dat", 1 << 20);
  const std::string port = std::to_string(port_);
  const std::string fmin = kBin + "/txbench-floor-min";
  const std::string fstream = kBin + "/txbench-floor-stream";
  EXPECT_EQ(run({fmin, "-u", sock_, "-v"}).status, 0);
  EXPECT_EQ(run({fmin, "-p", port, "-f", small}).status, 0);
  EXPECT_EQ(run({fmin, "-u", sock_, "-x", big}).status, 0);
  EXPECT_EQ(run({fstream, "-u", sock_, big}).status, 0);
  EXPECT_EQ(run({fstream, "-p", port, "-t", big}).status, 0);
  // Too big for the one-piece floor, and nothing listening.
  EXPECT_EQ(run({fmin, "-u", sock_, "-f", big}).status, 1);
  EXPECT_EQ(run({fmin, "-u", dir_ + "/none.sock", "-v"}).status, 1);
  EXPECT_EQ(run({fstream, "-u", dir_ + "/none.sock", small}).status, 1);
}

TEST(Measure, ReportsBothCommandsAndRefusesUnexpectedStatus) {
  const std::string m = kBin + "/txbench-measure";
  Result r = run({m, "-r", "3", "-n", "2", "--", "/bin/true", "::", "/bin/sh", "-c", "exit 3"});
  EXPECT_EQ(r.status, 1) << "a failing command must not be measured";
  r = run({m, "-r", "3", "-n", "2", "-e", "0,3", "--", "/bin/true", "::", "/bin/sh", "-c",
           "sleep 0.02; exit 3"});
  ASSERT_EQ(r.status, 0) << r.out;
  double med[3], lo[3], hi[3];
  const char *keys[] = {"cmd0 wall %lf %lf %lf", "cmd1 wall %lf %lf %lf", "ratio %lf %lf %lf"};
  for (int i = 0; i < 3; ++i) {
    size_t at = r.out.find(std::string(keys[i]).substr(0, 5));
    ASSERT_NE(at, std::string::npos) << r.out;
    ASSERT_EQ(sscanf(r.out.c_str() + at, keys[i], &med[i], &lo[i], &hi[i]), 3) << r.out;
    EXPECT_LE(lo[i], med[i]);
    EXPECT_LE(med[i], hi[i]);
  }
  // The second command sleeps 20 ms per invocation; the first does not.
  EXPECT_GE(lo[1], 0.02);
  EXPECT_LT(med[0], 0.02);
  EXPECT_GT(lo[2], 1.0);
}

}  // namespace
