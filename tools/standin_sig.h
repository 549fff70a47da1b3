// Signatures of the stand-in daemon and the streaming matcher that looks
// for them. The daemon never holds a whole object: content goes through a
// Matcher piece by piece, which keeps just enough of the previous piece to
// find a signature that straddles two pieces.
#ifndef TOOLS_STANDIN_SIG_H_
#define TOOLS_STANDIN_SIG_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace standin {

struct Signature {
  std::string name;
  std::vector<uint8_t> bytes;
};

// Longest signature accepted from a signature file, in bytes.
constexpr size_t kMaxSignatureBytes = 4096;
// Longest signature name.
constexpr size_t kMaxSignatureName = 128;

// The industry-standard antivirus test file. It is kept encoded in the
// sources so that the program and its repository are not themselves
// flagged by real scanners; it is decoded only when needed.
std::vector<uint8_t> test_file_bytes();
constexpr const char *kTestFileVirusName = "EICAR-Test-File";

class SignatureSet {
 public:
  // Starts with the built-in test-file signature.
  SignatureSet();

  // Reads "NAME HEXBYTES" lines. Blank lines and lines starting with '#'
  // are skipped. On failure returns false and describes the first bad line
  // in *error; the set is then unchanged.
  bool load_file(const char *path, std::string *error);
  // Parses one signature file's text (what load_file reads).
  bool load_text(const std::string &text, std::string *error);

  const std::vector<Signature> &signatures() const { return sigs_; }
  size_t longest() const { return longest_; }

 private:
  std::vector<Signature> sigs_;
  size_t longest_ = 0;
};

// Finds each signature of a set at most once in a stream of pieces.
class Matcher {
 public:
  explicit Matcher(const SignatureSet &set);

  void feed(const uint8_t *data, size_t size);
  // Names of the signatures found so far, in the order they were found.
  const std::vector<std::string> &found() const { return found_names_; }

 private:
  void search_window();

  const SignatureSet &set_;
  std::vector<uint8_t> window_;  // tail of the previous piece, then the new one
  std::vector<bool> found_;
  std::vector<std::string> found_names_;
};

}  // namespace standin

#endif  // TOOLS_STANDIN_SIG_H_
