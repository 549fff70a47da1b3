// Every library call that talks to the daemon, run the same way: the bytes
// it sends, a well-formed answer for it, and what the caller got back, so
// that one table-driven test can throw the same daemon fault at all of them.
#ifndef TESTS_HOSTILE_HOSTILE_CALLS_H_
#define TESTS_HOSTILE_HOSTILE_CALLS_H_

#include <string>
#include <vector>

enum class CallKind { kVersion, kId, kBases, kBuffer, kFile, kLocal, kPart, kCallback };

struct Call {
  CallKind kind;
  int flags;  // scan flags (scans only)
  std::string label() const;
  bool is_scan() const { return kind >= CallKind::kBuffer; }
};

// What the caller was handed.
struct Outcome {
  int rc = 0;
  bool outputs_cleared = true;  // on failure: no result, no text, zeroed numbers
  std::string summary;          // on success: everything the result holds, as text
};

// A small file scanned by the file calls; removed on destruction.
class ScanObject {
 public:
  ScanObject();
  ~ScanObject();
  ScanObject(const ScanObject &) = delete;
  ScanObject &operator=(const ScanObject &) = delete;
  const std::string &path() const { return path_; }
  const std::string &content() const { return content_; }

 private:
  std::string path_;
  std::string content_;
};

// Every query, and every scan kind with all three answer items.
std::vector<Call> all_calls();
// The scan of a memory buffer with each of the 8 combinations of answer items.
std::vector<Call> buffer_combinations();

// The exact request the call sends.
std::string request_of(const Call &c, const ScanObject &obj);
// A well-formed answer, and the summary the call must give for it.
std::string answer_of(const Call &c, const ScanObject &obj);
std::string expected_summary(const Call &c, const ScanObject &obj);
// Runs the call against the started library.
Outcome run_call(const Call &c, const ScanObject &obj, int report_size = 0);

// Wire helpers: a counted list of strings.
std::string wire_list(const std::vector<std::string> &items);

#endif  // TESTS_HOSTILE_HOSTILE_CALLS_H_
