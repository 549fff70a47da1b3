// Runs tavrixdc against a scripted peer on a UNIX socket to check what the
// program prints and the exit status it derives from the answers.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/process.h"

namespace {

// What the peer answers to a scan.
struct ScanAnswer {
  uint32_t status = 0;
  std::vector<std::string> viruses;
  std::vector<std::string> report;
  std::vector<std::pair<int32_t, int32_t>> stats;
};

struct Request {
  int32_t command = 0;
  int32_t flags = 0;
  int32_t offset = 0, length = 0;
  std::string name;
  size_t data_size = 0;
};

class ScriptedDaemon {
 public:
  explicit ScriptedDaemon(ScanAnswer answer) : answer_(std::move(answer)) {
    char dir[] = "/tmp/tavrixdc_peer_XXXXXX";
    if (mkdtemp(dir) == nullptr) return;
    dir_ = dir;
    path_ = dir_ + "/sock";
    listen_fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    snprintf(sa.sun_path, sizeof sa.sun_path, "%s", path_.c_str());
    if (bind(listen_fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 ||
        listen(listen_fd_, 8) != 0)
      return;
    thread_ = std::thread([this] { serve(); });
  }
  ~ScriptedDaemon() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (listen_fd_ >= 0) close(listen_fd_);
    unlink(path_.c_str());
    rmdir(dir_.c_str());
  }
  const std::string &path() const { return path_; }
  std::vector<Request> requests() {
    std::lock_guard<std::mutex> lock(mu_);
    return requests_;
  }

 private:
  static bool read_all(int fd, void *buf, size_t n) {
    char *p = static_cast<char *>(buf);
    while (n > 0) {
      ssize_t r = read(fd, p, n);
      if (r <= 0) return false;
      p += r;
      n -= static_cast<size_t>(r);
    }
    return true;
  }
  static bool read_int(int fd, int32_t *v) {
    uint32_t be;
    if (!read_all(fd, &be, 4)) return false;
    *v = static_cast<int32_t>(ntohl(be));
    return true;
  }
  static void put_int(std::string &out, int32_t v) {
    uint32_t be = htonl(static_cast<uint32_t>(v));
    out.append(reinterpret_cast<const char *>(&be), 4);
  }
  static void put_string(std::string &out, const std::string &s) {
    put_int(out, static_cast<int32_t>(s.size()));
    out += s;
  }

  void serve() {
    while (!stop_) {
      pollfd p{listen_fd_, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      int fd = accept(listen_fd_, nullptr, nullptr);
      if (fd < 0) continue;
      handle(fd);
      close(fd);
    }
  }

  void handle(int fd) {
    Request req;
    std::string out;
    if (!read_int(fd, &req.command)) return;
    switch (req.command) {
      case 2:
        put_int(out, 429);
        break;
      case 4:
        put_string(out, "Scripted peer 1.0");
        break;
      case 3:
        put_int(out, 2);
        put_string(out, "main.avc");
        put_int(out, 10);
        put_string(out, "daily.avc");
        put_int(out, 20);
        break;
      case 1:
      case 5: {
        int32_t n = 0, d = 0;
        if (req.command == 5 && (!read_int(fd, &req.offset) || !read_int(fd, &req.length))) return;
        if (!read_int(fd, &req.flags) || !read_int(fd, &n)) return;
        req.name.resize(static_cast<size_t>(n));
        if (n > 0 && !read_all(fd, req.name.data(), req.name.size())) return;
        if (req.command == 1) {
          if (!read_int(fd, &d)) return;
          std::string data(static_cast<uint32_t>(d), '\0');
          if (d != 0 && !read_all(fd, data.data(), data.size())) return;
          req.data_size = data.size();
        }
        put_int(out, static_cast<int32_t>(answer_.status));
        if (req.flags & 1) {
          put_int(out, static_cast<int32_t>(answer_.viruses.size()));
          for (const auto &v : answer_.viruses) put_string(out, v);
        }
        if (req.flags & 2) {
          put_int(out, static_cast<int32_t>(answer_.report.size()));
          for (const auto &r : answer_.report) put_string(out, r);
        }
        if (req.flags & 4) {
          put_int(out, static_cast<int32_t>(answer_.stats.size()));
          for (const auto &[code, count] : answer_.stats) {
            put_int(out, code);
            put_int(out, count);
          }
        }
        break;
      }
      default:
        return;
    }
    {
      std::lock_guard<std::mutex> lock(mu_);
      requests_.push_back(req);
    }
    if (write(fd, out.data(), out.size()) != static_cast<ssize_t>(out.size())) return;
  }

  ScanAnswer answer_;
  std::string dir_, path_;
  int listen_fd_ = -1;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mu_;
  std::vector<Request> requests_;
};

ProcessResult run(std::vector<std::string> args, const std::string &input = "") {
  args.insert(args.begin(), TAVRIXDC_PATH);
  return run_process(args, input);
}

TEST(TavrixdcOutput, InformationQueries) {
  ScriptedDaemon peer({});
  ProcessResult r = run({"-u", peer.path(), "-sb", "-si", "-sv"});
  EXPECT_EQ(r.status, 16);  // no scan asked for
  EXPECT_EQ(r.out,
            "- Version: Tavrix Daemon 4.29\n"
            "-          Command line client 4.29.12f\n"
            "- Description: Scripted peer 1.0\n"
            "- Loaded bases:\n"
            "Base main.avc contain 10 records.\n"
            "Base daily.avc contain 20 records.\n"
            "\n"
            "Total 30 virus-finding recoreds.\n");
  EXPECT_EQ(r.err, "Results: txclient error 0 (no errors)\n");
  // Fixed order, whatever the order on the command line.
  auto reqs = peer.requests();
  ASSERT_EQ(reqs.size(), 3u);
  EXPECT_EQ(reqs[0].command, 2);
  EXPECT_EQ(reqs[1].command, 4);
  EXPECT_EQ(reqs[2].command, 3);
}

TEST(TavrixdcOutput, ScanBlocksAndVirusExit) {
  ScanAnswer a;
  a.status = 0x20;
  a.viruses = {"EICAR-Test", "Other.A"};
  a.report = {"line one\n", "line two\n"};
  a.stats = {{0x20, 2}};
  ScriptedDaemon peer(a);
  ProcessResult r = run({"-u", peer.path(), "-i", "-rv", "-rr", "-rc", "-h"}, "payload");
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.err, "Results: daemon return code 0x20 (known virus is found)\n");
  const std::string head =
      "\n----- Tavrix report begin -----\nline one\nline two\n\n----- Tavrix report end -----\n"
      "\n----- Tavrix found viruses list begin -----\nEICAR-Test\nOther.A"
      "\n----- Tavrix found viruses list end -----\n"
      "\n----- Tavrix statistic begin -----\n";
  EXPECT_EQ(r.out.substr(0, head.size()), head);
  const std::string tail = "\n----- Tavrix statistic end -----\n";
  ASSERT_GT(r.out.size(), head.size() + tail.size());
  EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);

  auto reqs = peer.requests();
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(reqs[0].command, 1);
  EXPECT_EQ(reqs[0].flags, 0x1 | 0x2 | 0x4 | 0x8);
  EXPECT_EQ(reqs[0].data_size, 7u);
  EXPECT_EQ(reqs[0].name, "");
}

TEST(TavrixdcOutput, StatusWordsToExitStatus) {
  struct {
    uint32_t status;
    int exit;
    const char *line;
  } cases[] = {
      {0x0, 0, "Results: daemon return code 0 (ok)\n"},
      {0x100, 0, "Results: daemon return code 0x100 (object is cured)\n"},
      {0x1020, 3, "Results: daemon return code 0x1020 (unknown code or multiple errors)\n"},
      {0x20000, 64, "Results: daemon return code 0x20000 (rejected by rule filter)\n"},
      {0x40000, 4, "Results: daemon return code 0x40000 (unknown code or multiple errors)\n"},
  };
  for (const auto &c : cases) {
    ScanAnswer a;
    a.status = c.status;
    ScriptedDaemon peer(a);
    // Virus names asked for, none found: the two banners alone.
    ProcessResult r = run({"-u", peer.path(), "-i", "-rv"}, "x");
    EXPECT_EQ(r.status, c.exit) << std::hex << c.status;
    EXPECT_EQ(r.err, c.line);
    EXPECT_EQ(r.out,
              "\n----- Tavrix found viruses list begin -----"
              "\n----- Tavrix found viruses list end -----\n");
  }
}

TEST(TavrixdcOutput, LostPrintoutIsNotSuccess) {
  ScanAnswer a;
  a.report = {"clean\n"};
  ScriptedDaemon peer(a);
  const std::string cmd = std::string(TAVRIXDC_PATH) + " -u " + peer.path() + " -i -rr";
  ProcessResult r = run_process({"/bin/sh", "-c", cmd + " >/dev/full"}, "x");
  EXPECT_EQ(r.status, 16);
  EXPECT_NE(r.err.find("Can not write to stdout - "), std::string::npos) << r.err;
  r = run_process({"/bin/sh", "-c", cmd + " >/dev/null"}, "x");
  EXPECT_EQ(r.status, 0) << r.err;
}

TEST(TavrixdcOutput, FileRequestsCarryTheirName) {
  char dir[] = "/tmp/tavrixdc_obj_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string file = std::string(dir) + "/obj";
  FILE *f = fopen(file.c_str(), "w");
  ASSERT_NE(f, nullptr);
  fputs("0123456789", f);
  fclose(f);
  const std::string roundabout = std::string(dir) + "/../" + (strrchr(dir, '/') + 1) + "/obj";

  ScriptedDaemon peer({});
  // By path: the absolute name, no data.
  ProcessResult r = run({"-u", peer.path(), "-x", "-f", roundabout});
  EXPECT_EQ(r.status, 0) << r.err;
  // A range: the absolute name with offset and length.
  r = run({"-u", peer.path(), "-c", roundabout, "-o", "2", "-l", "5", "-e"});
  EXPECT_EQ(r.status, 0) << r.err;
  // By content: the name as given and the file's bytes.
  r = run({"-q", "-u", peer.path(), "-f", roundabout, "-m"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");

  auto reqs = peer.requests();
  ASSERT_EQ(reqs.size(), 3u);
  EXPECT_EQ(reqs[0].command, 1);
  EXPECT_EQ(reqs[0].name, file);
  EXPECT_EQ(reqs[0].data_size, 0u);
  EXPECT_EQ(reqs[1].command, 5);
  EXPECT_EQ(reqs[1].name, file);
  EXPECT_EQ(reqs[1].offset, 2);
  EXPECT_EQ(reqs[1].length, 5);
  EXPECT_EQ(reqs[1].flags, 0x80000);
  EXPECT_EQ(reqs[2].command, 1);
  EXPECT_EQ(reqs[2].data_size, 10u);
  EXPECT_EQ(reqs[2].flags, 0x20);

  unlink(file.c_str());
  rmdir(dir);
}

}  // namespace
