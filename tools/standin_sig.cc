#include "standin_sig.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace standin {

namespace {

// The test file, each byte XOR kTestFileKey.
constexpr uint8_t kTestFileKey = 0xa5;
constexpr uint8_t kTestFileEncoded[] = {
    0xfd, 0x90, 0xea, 0x84, 0xf5, 0x80, 0xe5, 0xe4, 0xf5, 0xfe, 0x91, 0xf9, 0xf5, 0xff,
    0xfd, 0x90, 0x91, 0x8d, 0xf5, 0xfb, 0x8c, 0x92, 0xe6, 0xe6, 0x8c, 0x92, 0xd8, 0x81,
    0xe0, 0xec, 0xe6, 0xe4, 0xf7, 0x88, 0xf6, 0xf1, 0xe4, 0xeb, 0xe1, 0xe4, 0xf7, 0xe1,
    0x88, 0xe4, 0xeb, 0xf1, 0xec, 0xf3, 0xec, 0xf7, 0xf0, 0xf6, 0x88, 0xf1, 0xe0, 0xf6,
    0xf1, 0x88, 0xe3, 0xec, 0xe9, 0xe0, 0x84, 0x81, 0xed, 0x8e, 0xed, 0x8f};

// Pieces handed to the window are cut to this size so that the window
// stays bounded whatever a caller feeds at once.
constexpr size_t kPiece = 64 * 1024;

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

bool parse_line(const std::string &line, Signature *sig, std::string *why) {
  size_t i = 0;
  while (i < line.size() && !is_blank(line[i])) {
    unsigned char c = static_cast<unsigned char>(line[i]);
    if (c < 0x21 || c > 0x7e) {
      *why = "name holds a character that is not printable";
      return false;
    }
    ++i;
  }
  if (i > kMaxSignatureName) {
    *why = "name is longer than " + std::to_string(kMaxSignatureName) + " characters";
    return false;
  }
  sig->name = line.substr(0, i);
  int high = -1;
  for (; i < line.size(); ++i) {
    if (is_blank(line[i])) continue;
    int v = hex_value(line[i]);
    if (v < 0) {
      *why = "signature bytes must be hexadecimal digits";
      return false;
    }
    if (high < 0) {
      high = v;
    } else {
      if (sig->bytes.size() == kMaxSignatureBytes) {
        *why = "signature is longer than " + std::to_string(kMaxSignatureBytes) + " bytes";
        return false;
      }
      sig->bytes.push_back(static_cast<uint8_t>(high * 16 + v));
      high = -1;
    }
  }
  if (high >= 0) {
    *why = "odd number of hexadecimal digits";
    return false;
  }
  if (sig->bytes.empty()) {
    *why = "no signature bytes";
    return false;
  }
  return true;
}

}  // namespace

std::vector<uint8_t> test_file_bytes() {
  std::vector<uint8_t> out(sizeof kTestFileEncoded);
  for (size_t i = 0; i < sizeof kTestFileEncoded; ++i) out[i] = kTestFileEncoded[i] ^ kTestFileKey;
  return out;
}

SignatureSet::SignatureSet() {
  sigs_.push_back(Signature{kTestFileVirusName, test_file_bytes()});
  longest_ = sigs_.back().bytes.size();
}

bool SignatureSet::load_text(const std::string &text, std::string *error) {
  std::vector<Signature> added;
  size_t pos = 0;
  int line_no = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    ++line_no;
    size_t first = 0;
    while (first < line.size() && is_blank(line[first])) ++first;
    if (first == line.size() || line[first] == '#') continue;
    Signature sig;
    std::string why;
    if (!parse_line(line.substr(first), &sig, &why)) {
      *error = "line " + std::to_string(line_no) + ": " + why;
      return false;
    }
    added.push_back(std::move(sig));
  }
  for (Signature &s : added) {
    if (s.bytes.size() > longest_) longest_ = s.bytes.size();
    sigs_.push_back(std::move(s));
  }
  return true;
}

bool SignatureSet::load_file(const char *path, std::string *error) {
  int fd = open(path, O_RDONLY | O_NOCTTY);
  if (fd < 0) {
    *error = std::string("cannot open: ") + strerror(errno);
    return false;
  }
  // A signature file is a short text; anything bigger is a mistake.
  constexpr size_t kMaxFile = 4 * 1024 * 1024;
  std::string text;
  char buf[8192];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = std::string("cannot read: ") + strerror(errno);
      close(fd);
      return false;
    }
    if (n == 0) break;
    if (text.size() + static_cast<size_t>(n) > kMaxFile) {
      *error = "file is larger than 4 MiB";
      close(fd);
      return false;
    }
    text.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return load_text(text, error);
}

Matcher::Matcher(const SignatureSet &set) : set_(set), found_(set.signatures().size(), false) {
  window_.reserve(set.longest() + kPiece);
}

void Matcher::feed(const uint8_t *data, size_t size) {
  while (size > 0) {
    size_t n = size < kPiece ? size : kPiece;
    window_.insert(window_.end(), data, data + n);
    data += n;
    size -= n;
    search_window();
    // Keep one byte less than the longest signature: any match that ends
    // in a later piece starts within this tail.
    size_t keep = set_.longest() > 0 ? set_.longest() - 1 : 0;
    if (window_.size() > keep) window_.erase(window_.begin(), window_.end() - keep);
  }
}

void Matcher::search_window() {
  const std::vector<Signature> &sigs = set_.signatures();
  for (size_t i = 0; i < sigs.size(); ++i) {
    if (found_[i] || sigs[i].bytes.size() > window_.size()) continue;
    if (memmem(window_.data(), window_.size(), sigs[i].bytes.data(), sigs[i].bytes.size()) !=
        nullptr) {
      found_[i] = true;
      found_names_.push_back(sigs[i].name);
    }
  }
}

}  // namespace standin
