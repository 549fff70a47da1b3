// Reading the whole of standard input into one heap buffer for a scan.
#ifndef CLIENT_TXC_INPUT_H_
#define CLIENT_TXC_INPUT_H_

#include <cstddef>

enum class input_status {
  ok,          // *data (NULL when empty) and *length hold everything read
  no_memory,   // the buffer could not grow
  too_large,   // more than `limit` bytes arrived
  read_error,  // a read failed; errno is kept in *error
};

using realloc_fn = void *(*)(void *, size_t);

// Reads fd to its end in chunks of `chunk` bytes. On ok the caller owns
// *data (release with free); on any failure nothing is left allocated.
// `grow` stands in for realloc so that tests can make it fail.
input_status read_all_input(int fd, size_t limit, char **data, size_t *length, int *error,
                            size_t chunk = 16384, realloc_fn grow = nullptr);

#endif  // CLIENT_TXC_INPUT_H_
