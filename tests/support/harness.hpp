// Test harness: syslog and descriptor capture, assertion reports,
// allocation failures, temporary directories.
#pragma once

#include <gtest/gtest.h>

#include <syslog.h>


namespace testsupport {

struct LogLine {
  int priority;  // as passed to syslog (facility | level)
  std::string text;
};

// The syslog lines of the process (%m expanded), cleared on construction.
class SyslogCapture {
 public:
  SyslogCapture() { clear(); }
  std::vector<LogLine> lines() const;
  bool contains(const std::string &text) const { return find(-1, text, false); }  // exact line
  bool contains(int priority, const std::string &text) const { return find(priority, text, false); }
  bool contains_substr(const std::string &part) const { return find(-1, part, true); }
  void clear();
  std::string dump() const;  // for failure messages

 private:
  bool find(int priority, const std::string &text, bool part) const;
};

// The assertion report text for a condition, as the library writes it.
std::string report_text(const std::string &cond, const std::string &module,
                        const std::string &function, int line);

#define EXPECT_REPORT(cap, cond, module, function, line)                                        \
  EXPECT_TRUE((cap).contains(LOG_USER | LOG_ERR,                                                \
                             ::testsupport::report_text(cond, module, function, line)))         \
      << "missing report; syslog was:\n" << (cap).dump()

// Redirects fd 1 or 2 into a temporary file until finish() or destruction.
class FdCapture {
 public:
  explicit FdCapture(int fd);
  ~FdCapture() { finish(); }
  std::string finish();  // restores the descriptor, returns what was written
 private:
  int fd_, saved_, tmp_;
  bool done_ = false;
};

// The library's allocations fail after `n` successful ones while alive.
struct AllocFailure {
  explicit AllocFailure(long n);
  ~AllocFailure();
};

// A fresh directory under $TMPDIR (or /tmp), removed with its content.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string &path() const { return path_; }
  std::string file(const std::string &name) const { return path_ + "/" + name; }
 private:
  std::string path_;
};

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &content);
bool file_exists(const std::string &path);

}  // namespace testsupport
