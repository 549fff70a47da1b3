#include "txc_input.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

input_status read_all_input(int fd, size_t limit, char **data, size_t *length, int *error,
                            size_t chunk, realloc_fn grow) {
  if (grow == nullptr) grow = realloc;
  *data = nullptr;
  *length = 0;
  *error = 0;

  char *buf = nullptr;
  size_t used = 0, capacity = 0;
  auto give_up = [&](input_status status) {
    free(buf);
    return status;
  };

  for (;;) {
    // Room for one more chunk; the buffer doubles so that the whole read
    // stays linear in the size of the input.
    if (capacity - used < chunk) {
      size_t want = capacity == 0 ? chunk : capacity * 2;
      if (want - used < chunk) want = used + chunk;
      // Never ask for more than one chunk past the limit: that is enough to
      // notice an oversized input.
      if (want > limit + chunk) want = limit + chunk;
      char *bigger = static_cast<char *>(grow(buf, want));
      if (bigger == nullptr) return give_up(input_status::no_memory);
      buf = bigger;
      capacity = want;
    }
    ssize_t n = read(fd, buf + used, chunk);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      *error = errno;
      return give_up(input_status::read_error);
    }
    used += static_cast<size_t>(n);
    if (used > limit) return give_up(input_status::too_large);
  }

  if (used == 0) {
    free(buf);
    buf = nullptr;
  }
  *data = buf;
  *length = used;
  return input_status::ok;
}
