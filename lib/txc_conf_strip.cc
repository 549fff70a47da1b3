// strip_spaces: shared by the configuration reader and the PID-file reader.
#include <cctype>

#include "txlib/txc_conf.h"

void strip_spaces(char *text) {
  if (text == nullptr) return;
  bool quoted = false;
  char *out = text;
  for (const char *in = text; *in != '\0'; ++in) {
    unsigned char c = static_cast<unsigned char>(*in);
    if (c == '"') quoted = !quoted;
    // Bytes of 0x80 and above are never white space.
    if (!quoted && c < 0x80 && std::isspace(c)) continue;
    *out++ = *in;
  }
  *out = '\0';
}
