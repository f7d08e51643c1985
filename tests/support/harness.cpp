#include "support/harness.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>

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

std::vector<LogLine> SyslogCapture::lines() const {
  std::lock_guard<std::mutex> lock(g_mu);
  return g_lines;
}

bool SyslogCapture::find(int priority, const std::string &text, bool part) const {
  for (const auto &l : lines())
    if ((part ? l.text.find(text) != std::string::npos : l.text == text) &&
        (priority < 0 || l.priority == priority))
      return true;
  return false;
}

void SyslogCapture::clear() {
  std::lock_guard<std::mutex> lock(g_mu);
  g_lines.clear();
}

std::string SyslogCapture::dump() const {
  std::string out;
  for (const auto &l : lines()) out += "  [" + std::to_string(l.priority) + "] " + l.text + "\n";
  return out;
}

std::string report_text(const std::string &cond, const std::string &module,
                        const std::string &function, int line) {
  return "(\"" + cond + "\") in " + module + " at " + function + " line " + std::to_string(line);
}

FdCapture::FdCapture(int fd) : fd_(fd) {
  std::fflush(nullptr);
  tmp_ = ::open(std::filesystem::temp_directory_path().c_str(), O_TMPFILE | O_RDWR, 0600);
  saved_ = ::dup(fd_);
  ::dup2(tmp_, fd_);
}

std::string FdCapture::finish() {
  if (std::exchange(done_, true)) return {};
  std::fflush(nullptr);
  ::dup2(saved_, fd_);
  ::close(saved_);
  std::string out = read_file("/proc/self/fd/" + std::to_string(tmp_));
  ::close(tmp_);
  return out;
}

AllocFailure::AllocFailure(long n) { pl::testing::fail_allocations_after(n); }
AllocFailure::~AllocFailure() { pl::testing::fail_allocations_after(-1); }

TempDir::TempDir() {
  path_ = std::filesystem::temp_directory_path().string() + "/pam_lib_test.XXXXXX";
  if (!::mkdtemp(path_.data())) throw std::runtime_error("mkdtemp failed");
}

TempDir::~TempDir() {
  // A process that is still dying may remove an entry under our feet, which
  // stops remove_all; the next pass finds the rest.
  std::error_code ec;
  for (int pass = 0; pass < 3; ++pass)
    if (std::filesystem::remove_all(path_, ec), !ec) break;
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void write_file(const std::string &path, const std::string &content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

bool file_exists(const std::string &path) {
  std::error_code ec;
  return std::filesystem::exists(path, ec);
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
