#include "support/fd_count.h"

#include <dirent.h>

int open_fd_count() {
  DIR *dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int n = 0;
  while (readdir(dir) != nullptr) ++n;
  closedir(dir);
  return n - 3;  // ".", ".." and the directory's own descriptor
}
