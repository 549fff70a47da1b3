// Test-only entry of tavrixdc: `tavrixdc_torture N args...` runs the client
// with args, the N-th library allocation failing (0: none), and reports on
// its last standard-error line how many failures were injected.
#include <cstdio>
#include <cstdlib>

#include "tavrixdc_run.h"
#include "txc_alloc.h"

int main(int argc, char *argv[]) {
  if (argc < 2) return 2;
  txc_alloc_fail_at(std::strtol(argv[1], nullptr, 10));
  argv[1] = argv[0];
  int status = tavrixdc_main(argc - 1, argv + 1);
  std::fprintf(stderr, "torture: %ld injected failures\n", txc_alloc_failures());
  return status;
}
