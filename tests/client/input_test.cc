#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "txc_input.h"

namespace {

// A descriptor reading `content` from an unlinked temporary file.
int fd_with(const std::string &content) {
  char name[] = "/tmp/txc_input_XXXXXX";
  int fd = mkstemp(name);
  if (fd < 0) return -1;
  unlink(name);
  if (write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size())) {
    close(fd);
    return -1;
  }
  lseek(fd, 0, SEEK_SET);
  return fd;
}

std::string pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
  return s;
}

int g_calls = 0;
int g_fail_at = 0;  // 0: never
void *counting_realloc(void *p, size_t n) {
  ++g_calls;
  if (g_fail_at != 0 && g_calls == g_fail_at) return nullptr;
  return realloc(p, n);
}

TEST(ReadAllInput, ReadsEverythingAcrossChunkBoundaries) {
  for (size_t size : {1u, 15u, 16u, 17u, 1000u, 4096u + 3}) {
    std::string content = pattern(size);
    int fd = fd_with(content);
    ASSERT_GE(fd, 0);
    char *data = nullptr;
    size_t len = 0;
    int err = -1;
    EXPECT_EQ(read_all_input(fd, 1 << 20, &data, &len, &err, 16), input_status::ok);
    close(fd);
    ASSERT_EQ(len, size);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(std::string(data, len), content) << size;
    EXPECT_EQ(err, 0);
    free(data);
  }
}

TEST(ReadAllInput, EmptyInputGivesNoBuffer) {
  int fd = fd_with("");
  ASSERT_GE(fd, 0);
  char *data = reinterpret_cast<char *>(1);
  size_t len = 99;
  int err = 0;
  EXPECT_EQ(read_all_input(fd, 100, &data, &len, &err), input_status::ok);
  close(fd);
  EXPECT_EQ(data, nullptr);
  EXPECT_EQ(len, 0u);
}

TEST(ReadAllInput, BufferGrowsGeometrically) {
  // 64 KiB in 16-byte reads: growing by one read each time would take 4096
  // reallocations.
  std::string content = pattern(64 * 1024);
  int fd = fd_with(content);
  ASSERT_GE(fd, 0);
  g_calls = 0;
  g_fail_at = 0;
  char *data = nullptr;
  size_t len = 0;
  int err = 0;
  EXPECT_EQ(read_all_input(fd, 1 << 30, &data, &len, &err, 16, counting_realloc), input_status::ok);
  close(fd);
  EXPECT_EQ(std::string(data, len), content);
  EXPECT_LE(g_calls, 20);
  free(data);
}

TEST(ReadAllInput, RefusesMoreThanTheLimit) {
  struct {
    size_t size, limit;
    input_status want;
  } cases[] = {
      {100, 100, input_status::ok},
      {101, 100, input_status::too_large},
      {5000, 100, input_status::too_large},
      {100, 99, input_status::too_large},
  };
  for (const auto &c : cases) {
    int fd = fd_with(pattern(c.size));
    ASSERT_GE(fd, 0);
    char *data = nullptr;
    size_t len = 0;
    int err = 0;
    EXPECT_EQ(read_all_input(fd, c.limit, &data, &len, &err, 16), c.want)
        << c.size << " " << c.limit;
    close(fd);
    if (c.want == input_status::ok) {
      EXPECT_EQ(len, c.size);
    } else {
      EXPECT_EQ(data, nullptr);
      EXPECT_EQ(len, 0u);
    }
    free(data);
  }
}

TEST(ReadAllInput, FailuresLeaveNothingAllocated) {
  // Growth failing on the first and on a later reallocation; the leak
  // checker of the sanitizer build sees anything left behind.
  for (int fail_at : {1, 2, 4}) {
    int fd = fd_with(pattern(1000));
    ASSERT_GE(fd, 0);
    g_calls = 0;
    g_fail_at = fail_at;
    char *data = nullptr;
    size_t len = 0;
    int err = 0;
    EXPECT_EQ(read_all_input(fd, 1 << 20, &data, &len, &err, 16, counting_realloc),
              input_status::no_memory)
        << fail_at;
    close(fd);
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(len, 0u);
  }
  g_fail_at = 0;

  // A failing read is an error, not a short object.
  char *data = nullptr;
  size_t len = 0;
  int err = 0;
  EXPECT_EQ(read_all_input(-1, 100, &data, &len, &err), input_status::read_error);
  EXPECT_EQ(err, EBADF);
  EXPECT_EQ(data, nullptr);

  int dir = open("/", O_RDONLY | O_DIRECTORY);
  ASSERT_GE(dir, 0);
  EXPECT_EQ(read_all_input(dir, 100, &data, &len, &err), input_status::read_error);
  EXPECT_EQ(err, EISDIR);
  close(dir);
}

}  // namespace
