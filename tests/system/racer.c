// A home's owner racing root: each ITEM is swapped with a symbolic link to
// TARGET (made beside it as ITEM.swap) and back, over and over, so that a
// program handed a path below the home meets the link at some moments and the
// real item at others. A TARGET written =PATH stands for another name (a hard
// link) of the file PATH instead; where the racer may not make it, the caller
// makes ITEM.swap beforehand, and an ITEM.swap that exists is taken as it is.
//
//   racer [-t SECONDS] [-n SWAPS] [-p MICROSECONDS] ITEM TARGET [ITEM TARGET]...
//
// Every link goes in at once and stays MICROSECONDS (default none), then
// every item goes back for as long. It stops on SIGTERM, after SECONDS
// (default 10) or SWAPS (default 10^7), whichever comes first. "ready" goes to standard output, which is then
// closed, once every pair has been swapped once: the caller starts its victim
// only then. The swap count is the last line on standard error. A pair one of
// whose names vanished (a home being deleted) is dropped, and the racer ends
// when none is left; while both names remain, the item ends in its place.

#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

struct pair {
  const char* item;
  char* spare;
  int live, swapped;
};

static volatile sig_atomic_t stop;

static void onSignal(int signo) {
  (void)signo;
  stop = 1;
}

// One exchange of the item and its link. A failure means a name is gone (or
// was never ours): the pair is dropped rather than retried forever.
static int exchange(struct pair* p) {
  if (renameat2(AT_FDCWD, p->item, AT_FDCWD, p->spare, RENAME_EXCHANGE) == 0) return 1;
  fprintf(stderr, "racer: %s: %s\n", p->item, strerror(errno));
  p->live = 0;
  return 0;
}

static int usage(void) {
  fprintf(stderr, "usage: racer [-t SECONDS] [-n SWAPS] [-p MICROSECONDS] ITEM TARGET [ITEM TARGET]...\n");
  return 2;
}

int main(int argc, char** argv) {
  unsigned seconds = 10, pauseMicros = 0;
  long limit = 10000000;
  int opt;
  while ((opt = getopt(argc, argv, "t:n:p:")) != -1) {
    if (opt == 't') seconds = (unsigned)strtoul(optarg, NULL, 10);
    else if (opt == 'n') limit = strtol(optarg, NULL, 10);
    else if (opt == 'p') pauseMicros = (unsigned)strtoul(optarg, NULL, 10);
    else return usage();
  }
  const int count = (argc - optind) / 2;
  if (count < 1 || (argc - optind) % 2 != 0 || seconds == 0) return usage();

  struct pair* pairs = calloc((size_t)count, sizeof *pairs);
  if (!pairs) return 2;
  for (int i = 0; i < count; ++i) {
    struct pair* p = &pairs[i];
    p->item = argv[optind + 2 * i];
    if (asprintf(&p->spare, "%s.swap", p->item) < 0) return 2;
    const char* target = argv[optind + 2 * i + 1];
    const int made = target[0] == '=' ? link(target + 1, p->spare) : symlink(target, p->spare);
    if (made != 0 && errno != EEXIST) {
      fprintf(stderr, "racer: %s: %s\n", p->spare, strerror(errno));
      return 2;
    }
    p->live = 1;
  }

  struct sigaction action = {.sa_handler = onSignal};
  sigaction(SIGTERM, &action, NULL);
  sigaction(SIGINT, &action, NULL);
  sigaction(SIGALRM, &action, NULL);
  signal(SIGPIPE, SIG_IGN);
  alarm(seconds);

  long swaps = 0;
  int live = count, ready = 0;
  while (!stop && live > 0 && swaps < limit) {
    // All pairs swap together: each path meets a link half of the time,
    // however many pairs there are.
    for (int i = 0; i < count; ++i) {
      pairs[i].swapped = pairs[i].live && exchange(&pairs[i]);
      swaps += pairs[i].swapped;
    }
    if (pauseMicros) usleep(pauseMicros);
    live = 0;
    for (int i = 0; i < count; ++i) {
      if (pairs[i].swapped) live += exchange(&pairs[i]);
    }
    if (pauseMicros) usleep(pauseMicros);
    if (!ready) {
      ready = 1;
      if (write(STDOUT_FILENO, "ready\n", 6) != 6) perror("racer: ready");
      close(STDOUT_FILENO);
    }
  }
  for (int i = 0; i < count; ++i) free(pairs[i].spare);
  free(pairs);
  fprintf(stderr, "racer: %ld swaps\n", swaps);
  return swaps > 0 ? 0 : 1;
}
