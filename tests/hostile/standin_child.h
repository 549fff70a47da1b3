// The stand-in daemon as a child process of the test, and a scratch
// directory for its socket, PID file and the scanned files.
#ifndef TESTS_HOSTILE_STANDIN_CHILD_H_
#define TESTS_HOSTILE_STANDIN_CHILD_H_

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

// A fresh directory under /tmp, removed with its files.
struct ScratchDir {
  std::string path;
  ScratchDir() {
    char tmpl[] = "/tmp/txhard.XXXXXX";
    path = mkdtemp(tmpl);
  }
  ~ScratchDir() { (void)!system(("rm -rf '" + path + "'").c_str()); }
  ScratchDir(const ScratchDir &) = delete;
  ScratchDir &operator=(const ScratchDir &) = delete;
};

// Listens on dir/d.sock and writes dir/d.pid; stopped with SIGTERM.
class Standin {
 public:
  Standin(const std::string &dir, std::vector<std::string> extra = {})
      : sock_(dir + "/d.sock"), pidfile_(dir + "/d.pid") {
    unlink(pidfile_.c_str());
    std::vector<std::string> args = {STANDIN_PATH, "--socket", sock_, "--pidfile", pidfile_};
    args.insert(args.end(), extra.begin(), extra.end());
    pid_ = fork();
    if (pid_ == 0) {
      (void)!freopen("/dev/null", "w", stderr);
      std::vector<char *> argv;
      for (std::string &a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(STANDIN_PATH, argv.data());
      _exit(127);
    }
    struct stat st;
    for (int i = 0; i < 500 && stat(pidfile_.c_str(), &st) != 0; ++i) usleep(10000);
  }
  ~Standin() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  Standin(const Standin &) = delete;
  Standin &operator=(const Standin &) = delete;
  const std::string &sock() const { return sock_; }
  const std::string &pidfile() const { return pidfile_; }

 private:
  std::string sock_, pidfile_;
  pid_t pid_ = -1;
};

#endif  // TESTS_HOSTILE_STANDIN_CHILD_H_
