#include "support/log_capture.h"

#include "txc_log.h"

LogCapture::LogCapture(int max_level) {
  txc_log_open("console", max_level, 0, 0);
  txc_log_set_hook(&LogCapture::hook, this);
}

LogCapture::~LogCapture() {
  txc_log_set_hook(nullptr, nullptr);
  txc_log_open("console", 0, 0, 0);
}

void LogCapture::hook(int level, const char *text, void *ctx) {
  auto *self = static_cast<LogCapture *>(ctx);
  std::lock_guard<std::mutex> lock(self->mu_);
  self->lines_.emplace_back(level, text);
}

std::vector<std::pair<int, std::string>> LogCapture::lines() const {
  std::lock_guard<std::mutex> lock(mu_);
  return lines_;
}

bool LogCapture::has(int level, std::string_view text) const {
  std::lock_guard<std::mutex> lock(mu_);
  for (const auto &[l, t] : lines_)
    if (l == level && t == text) return true;
  return false;
}

bool LogCapture::contains(std::string_view fragment) const {
  std::lock_guard<std::mutex> lock(mu_);
  for (const auto &line : lines_)
    if (line.second.find(fragment) != std::string::npos) return true;
  return false;
}

int LogCapture::count(std::string_view text) const {
  std::lock_guard<std::mutex> lock(mu_);
  int n = 0;
  for (const auto &line : lines_)
    if (line.second == text) ++n;
  return n;
}

std::string LogCapture::dump() const {
  std::lock_guard<std::mutex> lock(mu_);
  std::string out;
  for (const auto &[l, t] : lines_) out += std::to_string(l) + ": " + t + "\n";
  return out;
}

void LogCapture::clear() {
  std::lock_guard<std::mutex> lock(mu_);
  lines_.clear();
}
