#include "common/log.hpp"

#include <cerrno>
#include <cstdarg>
#include <cstdio>

namespace pl {

void log_msg(int priority, const char *fmt, ...) {
  int saved = errno;
  va_list ap;
  va_start(ap, fmt);
  errno = saved;
  vsyslog(LOG_USER | priority, fmt, ap);
  va_end(ap);
  errno = saved;
}

void report(const char *cond, const char *module, const char *function, int line) {
  // The condition travels inside a pair of double quotes.
  char quoted[512];
  std::snprintf(quoted, sizeof quoted, "\"%s\"", cond);
  log_msg(LOG_ERR, "(%s) in %s at %s line %d", quoted, module, function, line);
}

}  // namespace pl
