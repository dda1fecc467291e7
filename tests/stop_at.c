/* Preloaded into a process under test: stops (SIGSTOP) or kills (SIGKILL) it when it calls
 * STOP_AT_CALL (unlinkat, openat or closedir) on a name or directory path that contains
 * STOP_AT_MATCH, after letting STOP_AT_SKIP such calls through. The process stops or dies just
 * before the call takes effect, which puts an interleaving of processes in the test's hands. */
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

static int skipped, acted;

static void maybe_stop(const char *call, const char *subject) {
  const char *want = getenv("STOP_AT_CALL");
  const char *match = getenv("STOP_AT_MATCH");
  if (want == NULL || match == NULL || strcmp(want, call) != 0 || subject == NULL) return;
  if (strstr(subject, match) == NULL) return;
  const char *skip = getenv("STOP_AT_SKIP");
  if (acted || skipped++ < (skip ? atoi(skip) : 0)) return;
  acted = 1;
  const char *action = getenv("STOP_AT_ACTION");
  raise(action != NULL && strcmp(action, "kill") == 0 ? SIGKILL : SIGSTOP);
}

int unlinkat(int dirfd, const char *name, int flags) {
  static int (*real)(int, const char *, int);
  if (!real) real = (int (*)(int, const char *, int))dlsym(RTLD_NEXT, "unlinkat");
  maybe_stop("unlinkat", name);
  return real(dirfd, name, flags);
}

int openat(int dirfd, const char *name, int flags, ...) {
  static int (*real)(int, const char *, int, ...);
  if (!real) real = (int (*)(int, const char *, int, ...))dlsym(RTLD_NEXT, "openat");
  mode_t mode = 0;
  if (flags & (O_CREAT | O_TMPFILE)) {
    va_list args;
    va_start(args, flags);
    mode = (mode_t)va_arg(args, int);
    va_end(args);
  }
  maybe_stop("openat", name);
  return real(dirfd, name, flags, mode);
}

int closedir(DIR *dir) {
  static int (*real)(DIR *);
  if (!real) real = (int (*)(DIR *))dlsym(RTLD_NEXT, "closedir");
  char link[64], path[PATH_MAX];
  snprintf(link, sizeof link, "/proc/self/fd/%d", dirfd(dir));
  const ssize_t n = readlink(link, path, sizeof path - 1);
  if (n > 0) {
    path[n] = '\0';
    maybe_stop("closedir", path);
  }
  return real(dir);
}
