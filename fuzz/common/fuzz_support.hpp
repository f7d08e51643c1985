// Shared by the fuzz targets (included by exactly one source per target).
//
// The library's syslog messages are formatted (so a bad argument still shows
// up under the sanitizers) but not sent: there is no syslog daemon in CI and
// a message per input would dominate the run time.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

extern "C" {
void vsyslog(int, const char *fmt, va_list ap) {
  char line[1024];
  std::vsnprintf(line, sizeof line, fmt, ap);
}
void syslog(int priority, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vsyslog(priority, fmt, ap);
  va_end(ap);
}
void __vsyslog_chk(int priority, int, const char *fmt, va_list ap) { vsyslog(priority, fmt, ap); }
void __syslog_chk(int priority, int, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vsyslog(priority, fmt, ap);
  va_end(ap);
}
}

namespace fuzzsupport {

// A directory of this process, removed at exit (files of the target go here).
inline const std::string &temp_dir() {
  static const std::string dir = [] {
    const char *base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/pam_lib_fuzz.XXXXXX";
    if (!::mkdtemp(tmpl.data())) std::abort();
    static std::string keep = tmpl;
    std::atexit([] {
      std::string cmd = "rm -rf '" + keep + "'";
      if (std::system(cmd.c_str())) {
      }
    });
    return tmpl;
  }();
  return dir;
}

}  // namespace fuzzsupport
