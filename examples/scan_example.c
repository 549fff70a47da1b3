/* Scans one file through a tavrixd daemon and prints the result.
 * usage: scan_example ADDRESS FILE   (ADDRESS e.g. local:/run/tavrixd.sock) */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <txlib/txlib.h>

int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s ADDRESS FILE\n", argv[0]);
    return 2;
  }
  txc_log_open("console", 2, 0, 0); /* errors only */
  if (txc_startup(TXC_LIB_VERSION, argv[1], 30, 0) != TXC_OK) return 1;

  txc_scanresult *result = NULL;
  int rc = txc_scan_file(argv[2], (int)strlen(argv[2]), 0, TXC_RETURN_VIRUSES, &result, 0);
  txc_cleanup();
  if (rc != TXC_OK) {
    printf("scan failed: %s\n", txc_lib_strerror(rc));
    return 1;
  }

  uint32_t status = txc_scanresult_status(result);
  printf("%s: %s\n", argv[2], txc_status_strerror(status));
  txc_strlist *viruses = txc_scanresult_viruses(result);
  strlist_rewind(viruses, TXC_STRLIST_FORWARD);
  for (const char *name; (name = strlist_next(viruses)) != NULL;) printf("virus: %s\n", name);
  txc_scanresult_free(result);
  return status == 0 ? 0 : 3;
}
