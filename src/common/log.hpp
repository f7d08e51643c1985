// Logging shared by every module: syslog at LOG_USER, and the assertion
// report that names a failed internal check with a stable report number.
#pragma once

#include <syslog.h>

namespace pl {

// syslog(LOG_USER | priority, fmt, ...); errno is preserved for %m.
void log_msg(int priority, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// Writes "(\"cond\") in module at function line N" at LOG_USER|LOG_ERR.
// `line` is the documented report number, never __LINE__.
void report(const char *cond, const char *module, const char *function, int line);

}  // namespace pl
