/*
 * Reads a configuration file with two sections and prints what it read.
 *
 *     conf_example [FILE]      (default: conf_example.ini)
 *
 * Exits with 0 when the file was read, 1 otherwise.
 */
#include <stdio.h>
#include <stdlib.h>

#include <txlib/txc_conf.h>
#include <txlib/txlib.h>

/* [Server]: a heap text, a number and a flag. */
static char *server_address;
static int32_t server_timeout;
static int32_t server_verbose;

static txc_conf_var_t server_vars[] = {
    {"Address", TXC_CONF_TYPE_STRING, &server_address, 0, TXC_CONF_TEXT("default")},
    {"Timeout", TXC_CONF_TYPE_INT, &server_timeout, 4, TXC_CONF_NUMBER(60)},
    {"Verbose", TXC_CONF_TYPE_BOOL, &server_verbose, 4, TXC_CONF_NUMBER(0)},
    {NULL, TXC_CONF_TYPE_END, NULL, 0, TXC_CONF_NO_DEFAULT},
};

/* [Scan]: an octal mode, a list and a text in a fixed buffer. */
static int32_t scan_mode;
static txc_strlist *scan_extensions;
static char scan_report[32];

static txc_conf_var_t scan_vars[] = {
    {"Mode", TXC_CONF_TYPE_OCTAL, &scan_mode, 4, TXC_CONF_NUMBER(0600)},
    {"Extensions", TXC_CONF_TYPE_STRLIST, &scan_extensions, 0, TXC_CONF_NO_DEFAULT},
    {"Report", TXC_CONF_TYPE_STRING, scan_report, sizeof scan_report, TXC_CONF_NO_DEFAULT},
    {NULL, TXC_CONF_TYPE_END, NULL, 0, TXC_CONF_NO_DEFAULT},
};

/* One reader serves both sections: data is the section's descriptor table. */
static int read_vars(FILE *stream, int *line, const char *section, void *data) {
  return read_section(stream, line, section, (const txc_conf_var_t *)data, '=', ',') == 0;
}

static void release_server(const char *section, void *data) {
  (void)section;
  (void)data;
  free(server_address);
  server_address = NULL;
}

static void release_scan(const char *section, void *data) {
  (void)section;
  (void)data;
  strlist_free(scan_extensions);
  scan_extensions = NULL;
}

int main(int argc, char **argv) {
  const char *file = argc > 1 ? argv[1] : "conf_example.ini";
  txc_conf_task_t tasks[] = {
      {"Server", server_vars, read_vars, release_server, 0, 0},
      {"Scan", scan_vars, read_vars, release_scan, 0, 1},
      {NULL, NULL, NULL, NULL, 0, 0},
  };
  const char *item;

  /* Errors and warnings of the reader go to standard error. */
  txc_log_open("console", 3, 0, 0);
  if (read_conf(file, tasks) != 0) {
    fprintf(stderr, "conf_example: cannot read %s\n", file);
    return 1;
  }

  printf("[Server]\n");
  printf("Address = %s\n", server_address ? server_address : "(none)");
  printf("Timeout = %d\n", (int)server_timeout);
  printf("Verbose = %s\n", server_verbose ? "yes" : "no");
  if (!tasks[1].loaded) {
    printf("[Scan] absent\n");
  } else {
    printf("[Scan]\n");
    printf("Mode = %04o\n", (unsigned)scan_mode);
    printf("Extensions (%d):", (int)strlist_count(scan_extensions));
    strlist_rewind(scan_extensions, TXC_STRLIST_FORWARD);
    while ((item = strlist_next(scan_extensions)) != NULL) printf(" <%s>", item);
    printf("\n");
    printf("Report = %s\n", scan_report);
  }

  free_conf(tasks);
  return 0;
}
