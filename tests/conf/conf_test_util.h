// Helpers for the configuration reader tests: temporary files and a task
// whose reader fills a descriptor table with read_section.
#ifndef TESTS_CONF_CONF_TEST_UTIL_H_
#define TESTS_CONF_CONF_TEST_UTIL_H_

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "txlib/txc_conf.h"

// A file with the given content, removed when the object goes.
class TempConf {
 public:
  explicit TempConf(const std::string &content) {
    char tmpl[] = "/tmp/txc_conf_XXXXXX";
    int fd = mkstemp(tmpl);
    if (fd < 0) std::abort();
    path_ = tmpl;
    size_t off = 0;
    while (off < content.size()) {
      ssize_t n = write(fd, content.data() + off, content.size() - off);
      if (n <= 0) std::abort();
      off += static_cast<size_t>(n);
    }
    close(fd);
  }
  ~TempConf() { unlink(path_.c_str()); }
  const char *path() const { return path_.c_str(); }

 private:
  std::string path_;
};

// A stream over the given text, for calling read_section directly.
inline FILE *stream_of(const std::string &text) {
  FILE *f = std::tmpfile();
  if (f == nullptr) std::abort();
  std::fwrite(text.data(), 1, text.size(), f);
  std::rewind(f);
  return f;
}

// Releases the heap texts and lists a table holds, as a caller's release
// function would.
inline void release_table(const txc_conf_var_t *vars) {
  for (const txc_conf_var_t *v = vars; v->type != TXC_CONF_TYPE_END; ++v) {
    if (v->type == TXC_CONF_TYPE_STRING && v->length == 0) {
      char **text = static_cast<char **>(v->storage);
      std::free(*text);
      *text = nullptr;
    } else if (v->type == TXC_CONF_TYPE_STRLIST) {
      txc_strlist **list = static_cast<txc_strlist **>(v->storage);
      strlist_free(*list);
      *list = nullptr;
    }
  }
}

// Task data: the table and separators for read_section, and counters of
// reader and release calls.
struct SectionSpec {
  const txc_conf_var_t *vars = nullptr;
  char separator = '=';
  char list_separator = ',';
  int reads = 0;
  int releases = 0;
  bool fail = false;  // the reader reports failure without reading
};

inline int spec_reader(FILE *stream, int *line, const char *section, void *data) {
  auto *spec = static_cast<SectionSpec *>(data);
  ++spec->reads;
  if (spec->fail) return 0;
  return read_section(stream, line, section, spec->vars, spec->separator, spec->list_separator) ==
         0;
}

inline void spec_release(const char * /*section*/, void *data) {
  auto *spec = static_cast<SectionSpec *>(data);
  ++spec->releases;
  release_table(spec->vars);
}

inline txc_conf_task_t make_task(const char *name, SectionSpec *spec, int optional = 0) {
  return txc_conf_task_t{name, spec, spec_reader, spec_release, 0, optional};
}

inline txc_conf_task_t end_task() {
  return txc_conf_task_t{nullptr, nullptr, nullptr, nullptr, 0, 0};
}

inline txc_conf_var_t var(const char *name, int type, void *storage, int length,
                          txc_conf_default_t def = TXC_CONF_NO_DEFAULT) {
  return txc_conf_var_t{name, type, storage, length, def};
}

inline txc_conf_var_t end_var() { return var(nullptr, TXC_CONF_TYPE_END, nullptr, 0); }

inline txc_conf_default_t num(int32_t n) {
  txc_conf_default_t d;
  d.number = n;
  return d;
}

inline txc_conf_default_t text(const char *s) {
  txc_conf_default_t d;
  d.text = s;
  return d;
}

// The strings of a list, in order.
inline std::vector<std::string> items(txc_strlist *list) {
  std::vector<std::string> out;
  strlist_rewind(list, TXC_STRLIST_FORWARD);
  while (const char *s = strlist_next(list)) out.emplace_back(s);
  return out;
}

#endif  // TESTS_CONF_CONF_TEST_UTIL_H_
