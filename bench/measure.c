/* txbench-measure: runs one or two commands over and over and reports, per
 * command, the per-invocation wall time, peak RSS and CPU time (median, min
 * and max over the runs), and for two commands the ratio second/first of
 * each run's time (median, min, max). The two commands alternate (ABBA) so
 * that both see the same machine load.
 *
 *   txbench-measure [-r RUNS] [-n BATCH] [-i STDIN_FILE] [-e STATUS_A[,STATUS_B]]
 *                   -- CMD_A ARGS... [:: CMD_B ARGS...]
 *
 * A run times BATCH invocations back to back; the wall and CPU figures are
 * the batch's mean per invocation, the RSS figure the largest of the batch.
 * Every invocation must exit with its expected status (default 0), or the
 * measurement is refused. Output, one line each:
 *   cmd0 wall MED MIN MAX rss_kib MED MIN MAX cpu MED MIN MAX
 *   cmd1 ...
 *   ratio MED MIN MAX
 *
 * Peak RSS is wait4's ru_maxrss. It is taken from a fork of this small
 * program, so it cannot read below this program's own resident anonymous
 * memory (printed as "self_rss_kib"). */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

enum { kMaxRuns = 101 };

typedef struct {
  char **argv;
  int expect;
  double wall[kMaxRuns], rss[kMaxRuns], cpu[kMaxRuns];
} command;

static const char *g_stdin_file = NULL;

static double now_s(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

/* One invocation; returns 0 on the expected exit status. */
static int invoke(const command *c, double *rss_kib, double *cpu_s) {
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    int in = open(g_stdin_file != NULL ? g_stdin_file : "/dev/null", O_RDONLY);
    int out = open("/dev/null", O_WRONLY);
    if (in < 0 || out < 0) _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(out, 2);
    execv(c->argv[0], c->argv);
    _exit(127);
  }
  int status;
  struct rusage ru;
  if (wait4(pid, &status, 0, &ru) != pid) return -1;
  *rss_kib = (double)ru.ru_maxrss;
  *cpu_s = (double)ru.ru_utime.tv_sec + ru.ru_utime.tv_usec * 1e-6 + (double)ru.ru_stime.tv_sec +
           ru.ru_stime.tv_usec * 1e-6;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != c->expect) {
    fprintf(stderr, "txbench-measure: %s exited with %d (expected %d)\n", c->argv[0],
            WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status), c->expect);
    return -1;
  }
  return 0;
}

static int run_batch(command *c, int run, int batch) {
  double rss_max = 0, cpu_sum = 0;
  double t0 = now_s();
  for (int i = 0; i < batch; ++i) {
    double rss, cpu;
    if (invoke(c, &rss, &cpu) != 0) return -1;
    if (rss > rss_max) rss_max = rss;
    cpu_sum += cpu;
  }
  c->wall[run] = (now_s() - t0) / batch;
  c->rss[run] = rss_max;
  c->cpu[run] = cpu_sum / batch;
  return 0;
}

static int cmp_double(const void *a, const void *b) {
  double x = *(const double *)a, y = *(const double *)b;
  return x < y ? -1 : x > y;
}

static void print_stat(const char *name, const double *v, int n) {
  double s[kMaxRuns];
  memcpy(s, v, sizeof(double) * (size_t)n);
  qsort(s, (size_t)n, sizeof(double), cmp_double);
  double med = n % 2 ? s[n / 2] : (s[n / 2 - 1] + s[n / 2]) / 2;
  printf(" %s %.9g %.9g %.9g", name, med, s[0], s[n - 1]);
}

static long self_anon_kib(void) {
  FILE *f = fopen("/proc/self/status", "r");
  char line[256];
  long kib = -1;
  while (f != NULL && fgets(line, sizeof line, f) != NULL) {
    if (strncmp(line, "RssAnon:", 8) == 0) kib = atol(line + 8);
  }
  if (f != NULL) fclose(f);
  return kib;
}

int main(int argc, char *argv[]) {
  int runs = 7, batch = 1, opt;
  int expect[2] = {0, 0};
  while ((opt = getopt(argc, argv, "+r:n:i:e:")) != -1) {
    switch (opt) {
      case 'r':
        runs = atoi(optarg);
        break;
      case 'n':
        batch = atoi(optarg);
        break;
      case 'i':
        g_stdin_file = optarg;
        break;
      case 'e': {
        char *comma = strchr(optarg, ',');
        expect[0] = atoi(optarg);
        expect[1] = comma != NULL ? atoi(comma + 1) : expect[0];
        break;
      }
      default:
        return 2;
    }
  }
  if (optind < argc && strcmp(argv[optind], "--") == 0) ++optind;
  if (runs < 1 || runs > kMaxRuns || batch < 1 || optind >= argc) {
    fputs(
        "usage: txbench-measure [-r RUNS] [-n BATCH] [-i FILE] [-e A[,B]] -- CMD... [:: CMD...]\n",
        stderr);
    return 2;
  }
  static command cmds[2];
  int ncmd = 1;
  cmds[0].argv = argv + optind;
  for (int i = optind; i < argc; ++i) {
    if (strcmp(argv[i], "::") == 0) {
      argv[i] = NULL;
      cmds[1].argv = argv + i + 1;
      ncmd = 2;
      break;
    }
  }
  if (ncmd == 2 && cmds[1].argv[0] == NULL) return 2;
  cmds[0].expect = expect[0];
  cmds[1].expect = expect[1];

  /* One unmeasured round warms the caches and the page cache. */
  double ignored[2];
  for (int c = 0; c < ncmd; ++c) {
    if (invoke(&cmds[c], &ignored[0], &ignored[1]) != 0) return 1;
  }
  double ratio[kMaxRuns];
  for (int r = 0; r < runs; ++r) {
    for (int k = 0; k < ncmd; ++k) {
      int c = (r % 2 == 0) ? k : ncmd - 1 - k;
      if (run_batch(&cmds[c], r, batch) != 0) return 1;
    }
    if (ncmd == 2) ratio[r] = cmds[1].wall[r] / cmds[0].wall[r];
  }
  for (int c = 0; c < ncmd; ++c) {
    printf("cmd%d", c);
    print_stat("wall", cmds[c].wall, runs);
    print_stat("rss_kib", cmds[c].rss, runs);
    print_stat("cpu", cmds[c].cpu, runs);
    printf("\n");
  }
  if (ncmd == 2) {
    printf("ratio");
    print_stat("", ratio, runs);
    printf("\n");
  }
  printf("self_rss_kib %ld\n", self_anon_kib());
  return 0;
}
