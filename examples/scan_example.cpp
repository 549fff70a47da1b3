// Scans one file through a tavrixd daemon and prints the result, with the
// result object owned by a std::unique_ptr.
// usage: scan_example_cpp ADDRESS FILE
#include <txlib/txlib.h>

#include <cstdio>
#include <memory>
#include <string_view>

namespace {
struct ResultDeleter {
  void operator()(txc_scanresult *r) const { txc_scanresult_free(r); }
};
using ScanResult = std::unique_ptr<txc_scanresult, ResultDeleter>;

// Starts the library for the lifetime of the object.
class Library {
 public:
  explicit Library(const char *address) : rc_(txc_startup(TXC_LIB_VERSION, address, 30, 0)) {}
  ~Library() {
    if (rc_ == TXC_OK) txc_cleanup();
  }
  Library(const Library &) = delete;
  Library &operator=(const Library &) = delete;
  bool ok() const { return rc_ == TXC_OK; }

 private:
  int rc_;
};
}  // namespace

int main(int argc, char **argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s ADDRESS FILE\n", argv[0]);
    return 2;
  }
  txc_log_open("console", 2, 0, 0);
  std::string_view path = argv[2];
  ScanResult result;
  {
    Library lib(argv[1]);
    if (!lib.ok()) return 1;
    txc_scanresult *raw = nullptr;
    int rc =
        txc_scan_file(path.data(), static_cast<int>(path.size()), 0, TXC_RETURN_VIRUSES, &raw, 0);
    result.reset(raw);
    if (rc != TXC_OK) {
      std::printf("scan failed: %s\n", txc_lib_strerror(rc));
      return 1;
    }
  }
  uint32_t status = txc_scanresult_status(result.get());
  std::printf("%s: %s\n", argv[2], txc_status_strerror(status));
  txc_strlist *viruses = txc_scanresult_viruses(result.get());
  strlist_rewind(viruses, TXC_STRLIST_FORWARD);
  while (const char *name = strlist_next(viruses)) std::printf("virus: %s\n", name);
  return status == 0 ? 0 : 3;
}
