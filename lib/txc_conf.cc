// Reader of sectioned configuration files for programs that link txlib.
#define TXC_MODULE "txc_conf"

#include <sys/stat.h>

#include <strings.h>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "txc_alloc.h"
#include "txc_log.h"
#include "txlib/txc_conf.h"

namespace {

// Lines are read into buffers of this size; a line keeps at most
// kLineSize - 1 characters.
constexpr int kLineSize = 1024;
// Longest variable name; longer runs of name characters are cut.
constexpr int kNameMax = 255;

struct ObsoleteSection {
  const char *name;
  int action;
};
constexpr ObsoleteSection kObsoleteSections[] = {
    {"Submitter", 2},
    {"SendmailCommunication", 2},
    {"MailbombNotifications", 1},
};

struct ObsoleteParameter {
  const char *section;
  const char *name;
  int action;
};
constexpr ObsoleteParameter kObsoleteParameters[] = {
    {"Scanning", "StripPrefix", 1},    {"Scanning", "PathPrefix", 1},
    {"Scanning", "IncludeViruses", 1}, {"Actions", "MailbombObject", 1},
    {"Actions", "VirusReport", 1},     {"Logging", "Location", 2},
};

bool starts_with_nocase(const char *text, const char *prefix) {
  return strncasecmp(text, prefix, std::strlen(prefix)) == 0;
}

char *skip_blanks(char *p) {
  while (*p != '\0' && std::isspace(static_cast<unsigned char>(*p))) ++p;
  return p;
}

bool is_name_char(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '.';
}

// Reads one line of the file into buf (kLineSize bytes) without its newline.
// The part of a line beyond kLineSize - 1 characters is consumed too, so that
// it can never pass for a line of its own; *too_long tells whether that part
// held anything but white space. False when nothing could be read.
bool read_line(FILE *stream, char *buf, bool *too_long) {
  *too_long = false;
  int n = 0;
  bool any = false;
  int c;
  while ((c = std::getc(stream)) != EOF) {
    any = true;
    if (c == '\n') break;
    if (n < kLineSize - 1) {
      buf[n++] = static_cast<char>(c);
    } else if (!std::isspace(static_cast<unsigned char>(c))) {
      *too_long = true;
    }
  }
  buf[n] = '\0';
  return any;
}

// Numbers as the "%d", "%u" and "%o" conversions read them, but a value that
// does not fit the 32-bit storage is refused instead of wrapping.
bool parse_int(const char *value, int32_t *out) {
  char *end = nullptr;
  errno = 0;
  long long v = std::strtoll(value, &end, 10);
  if (end == value || errno == ERANGE || v < INT32_MIN || v > INT32_MAX) return false;
  *out = static_cast<int32_t>(v);
  return true;
}

bool parse_uint(const char *value, int32_t *out) {
  const char *p = value;
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  char *end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(p, &end, 10);
  if (end == p || errno == ERANGE) return false;
  // strtoull negates "-N"; any negative number other than 0 is out of range.
  if (*p == '-' && v != 0) return false;
  if (v > static_cast<unsigned long long>(INT32_MAX)) return false;
  *out = static_cast<int32_t>(v);
  return true;
}

bool parse_octal(const char *value, int32_t *out) {
  char *end = nullptr;
  errno = 0;
  long long v = std::strtoll(value, &end, 8);
  if (end == value || errno == ERANGE || v < INT32_MIN || v > static_cast<long long>(UINT32_MAX))
    return false;
  *out = static_cast<int32_t>(static_cast<uint32_t>(v));
  return true;
}

// Releases what read_section allocated for the first `count` descriptors.
void release_values(const txc_conf_var_t *vars, int count) {
  for (int i = 0; i < count; ++i) {
    const txc_conf_var_t &v = vars[i];
    if (v.type == TXC_CONF_TYPE_STRING && v.length == 0) {
      char **text = static_cast<char **>(v.storage);
      txc_free(*text);
      *text = nullptr;
    } else if (v.type == TXC_CONF_TYPE_STRLIST) {
      txc_strlist **list = static_cast<txc_strlist **>(v.storage);
      strlist_free(*list);
      *list = nullptr;
    }
  }
}

// Gives every descriptor its default. Returns the number of descriptors that
// received one; *ok tells whether the whole table was valid.
int set_defaults(const char *section, const txc_conf_var_t *vars, bool *ok) {
  *ok = false;
  int done = 0;
  for (const txc_conf_var_t *v = vars; v->type != TXC_CONF_TYPE_END; ++v) {
    const int number = done + 1;
    if (v->name == nullptr) {
      txc_log_message(TXC_LOG_ERROR, "txlib: read_section(%s): null name for %d variable passed",
                      section, number);
      return done;
    }
    if (v->storage == nullptr) {
      txc_log_message(TXC_LOG_ERROR,
                      "txlib: read_section(%s): null pointer to value for %d variable passed",
                      section, number);
      return done;
    }
    switch (v->type) {
      case TXC_CONF_TYPE_INT:
      case TXC_CONF_TYPE_UINT:
      case TXC_CONF_TYPE_BOOL:
      case TXC_CONF_TYPE_OCTAL: {
        if (v->length != 4) {
          txc_log_message(TXC_LOG_ERROR,
                          "txlib: read_section(%s): wrong len (%d) of storage for %d variable "
                          "passed",
                          section, v->length, number);
          return done;
        }
        int32_t *slot = static_cast<int32_t *>(v->storage);
        *slot = v->defval.number;
        txc_log_message(TXC_LOG_DETAIL, "txlib: read_section(%s): for %s default = %d, value = %d",
                        section, v->name, static_cast<int>(v->defval.number),
                        static_cast<int>(*slot));
        break;
      }
      case TXC_CONF_TYPE_STRING: {
        if (v->length < 0) {
          txc_log_message(TXC_LOG_ERROR,
                          "txlib: read_section(%s): wrong len (%d) of storage for %d variable "
                          "passed",
                          section, v->length, number);
          return done;
        }
        const char *def = v->defval.text;
        if (v->length == 0) {
          char **text = static_cast<char **>(v->storage);
          *text = nullptr;
          if (def == nullptr) {
            txc_log_message(TXC_LOG_DETAIL,
                            "txlib: read_section(%s): null default for %d variable passed", section,
                            number);
            txc_log_message(TXC_LOG_DETAIL,
                            "txlib: read_section(%s): for %s default = NULL, value = NULL", section,
                            v->name);
            break;
          }
          *text = txc_strdup(def);
          if (*text == nullptr) {
            // The variable holds NULL, so counting it keeps the clean-up simple.
            ++done;
            txc_log_message(TXC_LOG_DETAIL,
                            "txlib: read_section(%s): cannot allocate storage for %d variable "
                            "passed",
                            section, number);
            return done;
          }
          txc_log_message(TXC_LOG_DETAIL,
                          "txlib: read_section(%s): for %s default = %s, value = %s", section,
                          v->name, def, *text);
          break;
        }
        // A fixed buffer: the storage is the buffer itself, so there is
        // always somewhere to put the text; without a default it is empty.
        char *buf = static_cast<char *>(v->storage);
        if (def == nullptr) {
          buf[0] = '\0';
          txc_log_message(TXC_LOG_DETAIL,
                          "txlib: read_section(%s): null default for %d variable passed", section,
                          number);
          txc_log_message(TXC_LOG_DETAIL,
                          "txlib: read_section(%s): for %s default = %s, value = %s", section,
                          v->name, "NULL", buf);
          break;
        }
        size_t def_len = std::strlen(def);
        if (def_len >= static_cast<size_t>(v->length)) {
          txc_log_message(TXC_LOG_ERROR,
                          "txlib: read_section(%s): storage not enough (%d) for default (%d) for "
                          "%d variable passed",
                          section, v->length, static_cast<int>(def_len), number);
          return done;
        }
        std::memcpy(buf, def, def_len + 1);
        txc_log_message(TXC_LOG_DETAIL, "txlib: read_section(%s): for %s default = %s, value = %s",
                        section, v->name, def, buf);
        break;
      }
      case TXC_CONF_TYPE_STRLIST: {
        if (v->defval.text != nullptr) {
          txc_log_message(TXC_LOG_ERROR,
                          "txlib: read_section(%s): default value for string list currently not "
                          "supported",
                          section);
          return done;
        }
        txc_log_message(TXC_LOG_DETAIL,
                        "txlib: read_section(%s): null default for %d variable passed", section,
                        number);
        *static_cast<txc_strlist **>(v->storage) = nullptr;
        break;
      }
      default:
        txc_log_message(TXC_LOG_ERROR,
                        "txlib: read_section(%s): wrong type (%d) of value for %d variable passed",
                        section, v->type, number);
        return done;
    }
    ++done;
  }
  *ok = true;
  return done;
}

// Converts `value` into the descriptor's storage; false when it yields nothing.
bool store_value(const txc_conf_var_t &v, char *value, char list_separator) {
  switch (v.type) {
    case TXC_CONF_TYPE_INT:
      return parse_int(value, static_cast<int32_t *>(v.storage));
    case TXC_CONF_TYPE_UINT:
      return parse_uint(value, static_cast<int32_t *>(v.storage));
    case TXC_CONF_TYPE_BOOL:
      return getbool(value, static_cast<int *>(v.storage)) != 0;
    case TXC_CONF_TYPE_STRING: {
      if (v.length == 0) return getstring(value, static_cast<char **>(v.storage), 0) != 0;
      char *buf = static_cast<char *>(v.storage);
      return getstring(value, &buf, v.length) != 0;
    }
    case TXC_CONF_TYPE_OCTAL:
      return parse_octal(value, static_cast<int32_t *>(v.storage));
    case TXC_CONF_TYPE_STRLIST:
      return getstringlist(value, static_cast<txc_strlist **>(v.storage), list_separator) != 0;
    default:
      return false;
  }
}

// Reads the variable lines after the defaults are set. 0 on success, -1 on
// failure (the caller releases the values).
int read_lines(FILE *stream, int *line, const char *section, const txc_conf_var_t *vars,
               char separator, char list_separator) {
  char buf[kLineSize];
  bool too_long = false;
  long start = std::ftell(stream);
  while (read_line(stream, buf, &too_long)) {
    char *p = skip_blanks(buf);
    if (*p != '\0' && *p != '#') {
      strip_spaces(p);
      if (*p == '[') {
        // The next header: leave it for the caller to read again.
        if (start < 0) {
          txc_log_message(TXC_LOG_ERROR, "txlib: read_section(%s): invalid saved offset %d",
                          section, static_cast<int>(start));
          return -1;
        }
        if (std::fseek(stream, start, SEEK_SET) != 0) {
          int err = errno;
          txc_log_message(TXC_LOG_ERROR,
                          "txlib: read_section(%s): cannot rewind file stream on %d offset - %s",
                          section, static_cast<int>(start), stdlib_error(err));
          return -1;
        }
        return 0;
      }
      if (too_long) {
        // Cutting the line would store a truncated value.
        txc_log_message(TXC_LOG_ERROR, "txlib: read_section(%s): line %d is too long (over %d)",
                        section, *line, kLineSize - 1);
        return -1;
      }
      char name[kNameMax + 1];
      int n = 0;
      while (n < kNameMax && is_name_char(static_cast<unsigned char>(p[n]))) {
        name[n] = p[n];
        ++n;
      }
      name[n] = '\0';
      if (n == 0) {
        txc_log_message(TXC_LOG_ERROR, "txlib: read_section(%s): illegal line %d", section, *line);
        return -1;
      }
      char *sep = std::strchr(p, separator);
      if (sep == nullptr) {
        txc_log_message(TXC_LOG_ERROR, "txlib: read_section(%s): no separator (%c) in line %d",
                        section, separator, *line);
        return -1;
      }
      char *value = sep + 1;
      int action = obsolete_parameter(section, name);
      if (action == 2) {
        txc_log_message(TXC_LOG_ERROR,
                        "txlib: read_section(%s): parameter %s is obsolete - stop parsing, please "
                        "read documentation",
                        section, name);
        return -1;
      }
      if (action == 1) {
        txc_log_message(TXC_LOG_WARNING,
                        "txlib: read_section(%s): parameter %s is obsolete - continue, but please "
                        "read documentation",
                        section, name);
      }
      const txc_conf_var_t *var = nullptr;
      for (const txc_conf_var_t *v = vars; v->type != TXC_CONF_TYPE_END; ++v) {
        if (v->name != nullptr && strcasecmp(v->name, name) == 0) {
          var = v;
          break;
        }
      }
      if (var == nullptr) {
        txc_log_message(TXC_LOG_PROGRESS, "txlib: read_section(%s): unknown variable %s in line %d",
                        section, name, *line);
      } else if (!store_value(*var, value, list_separator)) {
        txc_log_message(TXC_LOG_ERROR, "txlib: read_section(%s): illegal value in line %d", section,
                        *line);
        return -1;
      }
    }
    ++*line;
    start = std::ftell(stream);
  }
  return 0;
}

}  // namespace

extern "C" {

void strip_quotes(char *text) {
  if (text == nullptr) return;
  char *out = text;
  for (const char *in = text; *in != '\0'; ++in) {
    if (*in != '"') *out++ = *in;
  }
  *out = '\0';
}

int valid_separator(char c) {
  const unsigned char u = static_cast<unsigned char>(c);
  // NUL would make the value start past the end of the line.
  if (u == '\0' || u == '"' || u == '#' || u == '_') return 0;
  if (std::isspace(u) || std::isalpha(u) || std::isdigit(u)) return 0;
  return 1;
}

int obsolete_section(const char *header) {
  if (header == nullptr) return 0;
  for (const ObsoleteSection &row : kObsoleteSections) {
    if (starts_with_nocase(header, row.name)) return row.action;
  }
  return 0;
}

int obsolete_parameter(const char *section, const char *name) {
  if (section == nullptr || name == nullptr) return 0;
  for (const ObsoleteParameter &row : kObsoleteParameters) {
    if (starts_with_nocase(section, row.section) && starts_with_nocase(name, row.name))
      return row.action;
  }
  return 0;
}

int getbool(char *value, int *result) {
  if (value == nullptr || result == nullptr) return 0;
  strip_quotes(value);
  static constexpr const char *kTrue[] = {"yes", "on", "true"};
  static constexpr const char *kFalse[] = {"no", "off", "false"};
  for (const char *word : kTrue) {
    if (strcasecmp(value, word) == 0) {
      *result = 1;
      return 1;
    }
  }
  for (const char *word : kFalse) {
    if (strcasecmp(value, word) == 0) {
      *result = 0;
      return 1;
    }
  }
  return 0;
}

int getstring(char *value, char **var, int length) {
  if (value == nullptr || var == nullptr || length < 0) return 0;
  strip_quotes(value);
  if (length == 0) {
    char *copy = txc_strdup(value);
    if (copy == nullptr) {
      txc_log_message(TXC_LOG_ERROR, "txlib: getstring: no memory for <%s>", value);
      return 0;
    }
    txc_free(*var);
    *var = copy;
    return 1;
  }
  if (*var == nullptr) {
    txc_log_message(TXC_LOG_ERROR, "txlib: getstring: no buffer for <%s>", value);
    return 0;
  }
  size_t len = std::strlen(value);
  if (len >= static_cast<size_t>(length)) {
    txc_log_message(TXC_LOG_ERROR, "txlib: getstring: storage not enough (%d) for value (%d)",
                    length, static_cast<int>(len));
    return 0;
  }
  std::memcpy(*var, value, len + 1);
  return 1;
}

int getstringlist(char *value, txc_strlist **var, char list_separator) {
  if (value == nullptr || var == nullptr) return 0;
  txc_strlist *list = strlist_create(0);
  if (list == nullptr) {
    txc_log_message(TXC_LOG_ERROR, "txlib: getstringlist: cannot create string list");
    return 0;
  }
  // The earlier list of the variable is replaced, not leaked.
  strlist_free(*var);
  *var = list;
  char *piece = value;
  for (;;) {
    char *end = piece;
    while (*end != '\0' && *end != list_separator) ++end;
    const bool last = *end == '\0';
    *end = '\0';
    char *copy = nullptr;
    if (!getstring(piece, &copy, 0) || !strlist_add(list, copy)) {
      txc_log_message(TXC_LOG_ERROR, "txlib: getstringlist: cannot add %s to list", piece);
      txc_free(copy);
      strlist_free(list);
      *var = nullptr;
      return 0;
    }
    txc_free(copy);
    if (last) break;
    piece = end + 1;
  }
  return 1;
}

int free_conf(txc_conf_task_t *tasks) {
  if (tasks == nullptr) return 0;
  for (txc_conf_task_t *t = tasks; t->name != nullptr; ++t) {
    if (t->loaded) {
      if (t->release != nullptr) t->release(t->name, t->data);
      t->loaded = 0;
    }
  }
  return 0;
}

int read_section(FILE *stream, int *line, const char *section, const txc_conf_var_t *vars,
                 char separator, char list_separator) {
  if (stream == nullptr || line == nullptr || section == nullptr || vars == nullptr) {
    txc_log_message(TXC_LOG_ERROR, "txlib: read_section(%s): null argument passed",
                    section != nullptr ? section : "NULL");
    return -1;
  }
  for (char c : {separator, list_separator}) {
    if (!valid_separator(c)) {
      txc_log_message(TXC_LOG_ERROR, "txlib: read_section(%s): invalid separator (%c) passed",
                      section, c);
      return -1;
    }
  }
  bool ok = false;
  int done = set_defaults(section, vars, &ok);
  if (!ok) {
    release_values(vars, done);
    return -1;
  }
  // The name itself is scanned by hand (a "%" separator must not become a
  // conversion); the pattern is logged to show what a line must look like.
  char format[32];
  int written = std::snprintf(format, sizeof format, "%%%d[a-zA-Z_.]%c", kNameMax, separator);
  if (written < 0 || written >= static_cast<int>(sizeof format)) {
    txc_log_message(TXC_LOG_ERROR,
                    "txlib: read_section(%s): cannot create format string for parser", section);
    release_values(vars, done);
    return -1;
  }
  txc_log_message(TXC_LOG_DETAIL, "txlib: read_section(%s): format string = <%s>", section, format);
  if (read_lines(stream, line, section, vars, separator, list_separator) != 0) {
    release_values(vars, done);
    return -1;
  }
  return 0;
}

int read_conf(const char *filename, txc_conf_task_t *tasks) {
  if (filename == nullptr) {
    txc_log_message(TXC_LOG_ERROR, "txlib: read_conf: null filename passed");
    return -1;
  }
  if (tasks == nullptr) {
    txc_log_message(TXC_LOG_ERROR, "txlib: read_conf(%s): null task list passed", filename);
    return -1;
  }
  struct stat st;
  if (stat(filename, &st) != 0) {
    int err = errno;
    txc_log_message(TXC_LOG_ERROR, "txlib: read_conf(%s): %s", filename, stdlib_error(err));
    return -1;
  }
  // S_ISDIR rather than a test of the 040000 bit alone: block devices and
  // sockets carry that bit too.
  if (S_ISDIR(st.st_mode)) {
    txc_log_message(TXC_LOG_ERROR,
                    "txlib: read_conf(%s): full pathname should be specified, not directory only",
                    filename);
    return -1;
  }
  FILE *stream = std::fopen(filename, "r");
  if (stream == nullptr) {
    int err = errno;
    txc_log_message(TXC_LOG_ERROR, "txlib: read_conf(%s): cannot open - %s", filename,
                    stdlib_error(err));
    free_conf(tasks);
    return -1;
  }

  bool ok = true;
  int line = 1;
  char buf[kLineSize];
  bool too_long = false;
  errno = 0;
  while (ok && read_line(stream, buf, &too_long)) {
    char *p = skip_blanks(buf);
    if (*p == '\0' || *p == '#') {
      ++line;
      continue;
    }
    strip_spaces(p);
    if (*p != '[') {
      ++line;
      continue;
    }
    const char *head = p + 1;
    int action = obsolete_section(head);
    if (action == 2) {
      txc_log_message(TXC_LOG_ERROR,
                      "txlib: read_conf(%s): section %s is obsolete - stop parsing, please read "
                      "documentation",
                      filename, p);
      ok = false;
      break;
    }
    if (action == 1) {
      txc_log_message(TXC_LOG_WARNING,
                      "txlib: read_conf(%s): section %s is obsolete - continue, but please read "
                      "documentation",
                      filename, p);
    }
    txc_conf_task_t *task = nullptr;
    for (txc_conf_task_t *t = tasks; t->name != nullptr; ++t) {
      if (starts_with_nocase(head, t->name)) {
        task = t;
        break;
      }
    }
    if (task == nullptr) {
      txc_log_message(TXC_LOG_RESULT, "txlib: read_conf(%s): unknown section %s", filename, p);
    } else if (task->reader == nullptr) {
      txc_log_message(TXC_LOG_ERROR, "txlib: read_conf(%s): no reader for section [%s]", filename,
                      task->name);
      ok = false;
      break;
    } else {
      // A section that occurs again starts from its defaults; what the
      // first reading stored would otherwise be overwritten and leak.
      if (task->loaded) {
        if (task->release != nullptr) task->release(task->name, task->data);
        task->loaded = 0;
      }
      ++line;
      if (task->reader(stream, &line, task->name, task->data) == 0) {
        txc_log_message(TXC_LOG_RESULT, "txlib: read_conf(%s): error in section [%s]", filename,
                        task->name);
        ok = false;
        break;
      }
      --line;
      task->loaded = 1;
    }
    ++line;
    errno = 0;
  }
  if (ok && (!std::feof(stream) || std::ferror(stream))) {
    int err = errno;
    txc_log_message(TXC_LOG_ERROR, "txlib: read_conf(%s): error at reading file - %s", filename,
                    stdlib_error(err));
    ok = false;
  }
  int close_rc = std::fclose(stream);
  if (close_rc != 0) {
    int err = errno;
    txc_log_message(TXC_LOG_ERROR, "txlib: read_conf(%s): cannot close file - %s", filename,
                    stdlib_error(err));
    ok = false;
  }
  if (ok) {
    for (txc_conf_task_t *t = tasks; t->name != nullptr; ++t) {
      if (!t->loaded && !t->optional) {
        txc_log_message(TXC_LOG_ERROR, "txlib: read_conf(%s): section [%s] missed", filename,
                        t->name);
        ok = false;
        break;
      }
    }
  }
  if (!ok) {
    free_conf(tasks);
    return -1;
  }
  txc_log_message(TXC_LOG_RESULT, "txlib: read_conf(%s): successfully loaded", filename);
  return 0;
}

}  // extern "C"
