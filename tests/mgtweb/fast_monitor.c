/* Test seam for idle expiry: the library's session monitor sleeps a minute
 * between passes; preloaded into mgtweb, this shortens exactly-one-minute
 * sleeps to MGTWEB_TEST_MONITOR_MS milliseconds, so one "minute" of idle
 * time passes in a fraction of a second. Nothing else sleeps a whole
 * minute in mgtweb. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdlib.h>
#include <time.h>

int nanosleep(const struct timespec *req, struct timespec *rem) {
  static int (*real)(const struct timespec *, struct timespec *);
  if (!real) real = (int (*)(const struct timespec *, struct timespec *))dlsym(RTLD_NEXT, "nanosleep");
  struct timespec fast;
  const char *ms = getenv("MGTWEB_TEST_MONITOR_MS");
  if (req && req->tv_sec == 60 && req->tv_nsec == 0 && ms && atol(ms) > 0) {
    long v = atol(ms);
    fast.tv_sec = v / 1000;
    fast.tv_nsec = (v % 1000) * 1000000L;
    req = &fast;
  }
  return real(req, rem);
}
