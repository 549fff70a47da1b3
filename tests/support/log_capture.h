// Captures the library's log messages (after the level filter) for checks.
#ifndef TESTS_SUPPORT_LOG_CAPTURE_H_
#define TESTS_SUPPORT_LOG_CAPTURE_H_

#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class LogCapture {
 public:
  // Opens the console log with max_level and routes messages here.
  explicit LogCapture(int max_level = 9);
  ~LogCapture();
  LogCapture(const LogCapture &) = delete;
  LogCapture &operator=(const LogCapture &) = delete;

  std::vector<std::pair<int, std::string>> lines() const;
  // A message with exactly this level and text was logged.
  bool has(int level, std::string_view text) const;
  // Some message contains the fragment (at any level).
  bool contains(std::string_view fragment) const;
  // How many messages are exactly this text (any level).
  int count(std::string_view text) const;
  // Every message as "level: text" lines, for failure output.
  std::string dump() const;
  void clear();

 private:
  static void hook(int level, const char *text, void *ctx);
  mutable std::mutex mu_;
  std::vector<std::pair<int, std::string>> lines_;
};

#endif  // TESTS_SUPPORT_LOG_CAPTURE_H_
