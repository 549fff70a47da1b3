// Configuration files, read with a task list that uses every variable type.
#include <cstdlib>
#include <cstring>

#include "fuzz_common.h"
#include "txlib/txc_conf.h"

namespace {

struct Main {
  int32_t timeout, port, verbose, mode;
  char *name;
  char fixed[16];
  txc_strlist *hosts;
};

int read_main(FILE *stream, int *line, const char *section, void *data) {
  auto *m = static_cast<Main *>(data);
  const txc_conf_var_t vars[] = {
      {"Timeout", TXC_CONF_TYPE_INT, &m->timeout, 4, TXC_CONF_NUMBER(30)},
      {"Port", TXC_CONF_TYPE_UINT, &m->port, 4, TXC_CONF_NUMBER(3000)},
      {"Verbose", TXC_CONF_TYPE_BOOL, &m->verbose, 4, TXC_CONF_NUMBER(0)},
      {"Mode", TXC_CONF_TYPE_OCTAL, &m->mode, 4, TXC_CONF_NUMBER(0644)},
      {"Name", TXC_CONF_TYPE_STRING, &m->name, 0, TXC_CONF_TEXT("tavrix")},
      {"Fixed", TXC_CONF_TYPE_STRING, m->fixed, sizeof m->fixed, TXC_CONF_TEXT("x")},
      {"Hosts", TXC_CONF_TYPE_STRLIST, &m->hosts, 0, TXC_CONF_NO_DEFAULT},
      {nullptr, TXC_CONF_TYPE_END, nullptr, 0, TXC_CONF_NO_DEFAULT},
  };
  return read_section(stream, line, section, vars, '=', ',') == 0;
}

void release_main(const char *, void *data) {
  auto *m = static_cast<Main *>(data);
  free(m->name);
  m->name = nullptr;
  strlist_free(m->hosts);
  m->hosts = nullptr;
}

struct Other {
  char *path;
};

int read_other(FILE *stream, int *line, const char *section, void *data) {
  auto *o = static_cast<Other *>(data);
  const txc_conf_var_t vars[] = {
      {"Path", TXC_CONF_TYPE_STRING, &o->path, 0, TXC_CONF_NO_DEFAULT},
      {nullptr, TXC_CONF_TYPE_END, nullptr, 0, TXC_CONF_NO_DEFAULT},
  };
  return read_section(stream, line, section, vars, ':', ';') == 0;
}

void release_other(const char *, void *data) {
  auto *o = static_cast<Other *>(data);
  free(o->path);
  o->path = nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz_quiet_log();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string &path = fuzz_write_file(data, size);
  Main m{};
  Other o{};
  txc_conf_task_t tasks[] = {
      {"Main", &m, read_main, release_main, 0, 0},
      {"Other", &o, read_other, release_other, 0, 1},
      {nullptr, nullptr, nullptr, nullptr, 0, 0},
  };
  if (read_conf(path.c_str(), tasks) == 0) {
    if (!tasks[0].loaded) __builtin_trap();
    if (strnlen(m.fixed, sizeof m.fixed) >= sizeof m.fixed) __builtin_trap();
    if (m.verbose != 0 && m.verbose != 1) __builtin_trap();
    if (m.port < 0) __builtin_trap();
    free_conf(tasks);
  } else if (tasks[0].loaded || tasks[1].loaded || m.name != nullptr || m.hosts != nullptr ||
             o.path != nullptr) {
    __builtin_trap();  // a failed read leaves nothing loaded
  }
  return 0;
}
