#include "support/harness.hpp"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <syslog.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/alloc.hpp"

namespace testsupport {
namespace {
std::mutex g_mu;
std::vector<LogLine> g_lines;

void record(int priority, const char *fmt, va_list ap) {
  char buf[8192];
  std::vsnprintf(buf, sizeof buf, fmt, ap);  // glibc expands %m
  std::lock_guard<std::mutex> lock(g_mu);
  g_lines.push_back({priority, buf});
}
}  // namespace

SyslogCapture::SyslogCapture() { clear(); }
SyslogCapture::~SyslogCapture() = default;

std::vector<LogLine> SyslogCapture::lines() const {
  std::lock_guard<std::mutex> lock(g_mu);
  return g_lines;
}

bool SyslogCapture::contains(const std::string &text) const {
  for (const auto &l : lines())
    if (l.text == text) return true;
  return false;
}

bool SyslogCapture::contains(int priority, const std::string &text) const {
  for (const auto &l : lines())
    if (l.text == text && l.priority == priority) return true;
  return false;
}

bool SyslogCapture::contains_substr(const std::string &part) const {
  for (const auto &l : lines())
    if (l.text.find(part) != std::string::npos) return true;
  return false;
}

void SyslogCapture::clear() {
  std::lock_guard<std::mutex> lock(g_mu);
  g_lines.clear();
}

std::string SyslogCapture::dump() const {
  std::ostringstream out;
  for (const auto &l : lines()) out << "  [" << l.priority << "] " << l.text << "\n";
  return out.str();
}

std::string report_text(const std::string &cond, const std::string &module,
                        const std::string &function, int line) {
  return "(\"" + cond + "\") in " + module + " at " + function + " line " +
         std::to_string(line);
}

FdCapture::FdCapture(int fd) : fd_(fd) {
  std::fflush(nullptr);
  char name[] = "/tmp/pam_lib_capture.XXXXXX";
  tmp_ = ::mkstemp(name);
  ::unlink(name);
  saved_ = ::dup(fd_);
  ::dup2(tmp_, fd_);
}

FdCapture::~FdCapture() { finish(); }

std::string FdCapture::finish() {
  if (done_) return {};
  done_ = true;
  std::fflush(nullptr);
  ::dup2(saved_, fd_);
  ::close(saved_);
  std::string out;
  ::lseek(tmp_, 0, SEEK_SET);
  char buf[4096];
  ssize_t n;
  while ((n = ::read(tmp_, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  ::close(tmp_);
  return out;
}

AllocFailure::AllocFailure(long n) { pl::testing::fail_allocations_after(n); }
AllocFailure::~AllocFailure() { pl::testing::fail_allocations_after(-1); }

TempDir::TempDir() {
  const char *base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/pam_lib_test.XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (!::mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
  path_ = buf.data();
}

TempDir::~TempDir() {
  std::string cmd = "rm -rf '" + path_ + "'";
  if (std::system(cmd.c_str()) != 0) { /* best effort */ }
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void write_file(const std::string &path, const std::string &content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

bool file_exists(const std::string &path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

}  // namespace testsupport

// Interposed syslog family: the library's messages are recorded, not sent.
extern "C" {
void syslog(int priority, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  testsupport::record(priority, fmt, ap);
  va_end(ap);
}
void vsyslog(int priority, const char *fmt, va_list ap) { testsupport::record(priority, fmt, ap); }
void __syslog_chk(int priority, int, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  testsupport::record(priority, fmt, ap);
  va_end(ap);
}
void __vsyslog_chk(int priority, int, const char *fmt, va_list ap) {
  testsupport::record(priority, fmt, ap);
}
}
