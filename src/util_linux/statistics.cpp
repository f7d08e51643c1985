// System statistics: kernel release, root file-system space, and memory and
// processor utilisation read from the output of "free" and "mpstat".
#include "util_linux/statistics.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <sys/statvfs.h>
#include <sys/utsname.h>
#include <vector>

#include "common/log.hpp"
#include "common/raii.hpp"
#include "util_linux.h"

namespace pl {
namespace {

// "free" is read line by line with fgets into an 8192-byte buffer given as
// 8191 bytes: a line is at most 8190 characters, the rest forms the next one.
constexpr std::size_t kFreeLineMax = 8190;
// "mpstat" output is read with a single fread of this many bytes.
constexpr std::size_t kMpstatRead = 8192;
// More "free" output than this is never looked at.
constexpr std::size_t kFreeReadMax = 3 * (kFreeLineMax + 1);

// Splits text as strtok does with the given separators.
std::vector<std::string_view> fields(std::string_view line, std::string_view seps) {
  std::vector<std::string_view> out;
  std::size_t i = 0;
  while (true) {
    i = line.find_first_not_of(seps, i);
    if (i == std::string_view::npos) break;
    std::size_t e = line.find_first_of(seps, i);
    if (e == std::string_view::npos) e = line.size();
    out.push_back(line.substr(i, e - i));
    i = e;
  }
  return out;
}

// Reads a number as "%lld" does: leading white space, a sign, digits, the
// rest ignored. false (value untouched) when no digit is there.
bool read_lld(std::string_view field, long long &value) {
  std::string s(field);
  errno = 0;
  char *end = nullptr;
  long long v = std::strtoll(s.c_str(), &end, 10);
  if (end == s.c_str()) return false;
  value = v;
  return true;
}

class LineReader {
 public:
  explicit LineReader(std::string_view text) : text_(text) {}
  // The next line as fgets delivers it (newline kept), or false at the end.
  bool next(std::string_view &line) {
    if (text_.empty()) return false;
    std::size_t n = text_.find('\n');
    n = (n == std::string_view::npos) ? text_.size() : n + 1;
    if (n > kFreeLineMax) n = kFreeLineMax;
    line = text_.substr(0, n);
    text_.remove_prefix(n);
    // The C string ends at an embedded NUL.
    if (std::size_t z = line.find('\0'); z != std::string_view::npos) line = line.substr(0, z);
    return true;
  }

 private:
  std::string_view text_;
};

constexpr std::string_view kSeps = " \t";

// Memory in use from a procps "free" without the "-/+ buffers/cache" row:
// total minus the "available" column of the Mem row. False when the output
// has no such column.
bool used_from_available(std::string_view header, const std::vector<std::string_view> &mem, long long total,
                         long long &used) {
  auto heads = fields(header, " \t\n");
  for (std::size_t i = 0; i < heads.size(); ++i) {
    if (heads[i] != "available") continue;
    if (i + 1 >= mem.size()) return false;
    long long avail = 0;
    // An unreadable figure, or one so far off that the difference overflows,
    // reads as no memory in use: reported below.
    if (!read_lld(mem[i + 1], avail) || __builtin_sub_overflow(total, avail, &used)) used = 0;
    return true;
  }
  return false;
}

bool is_buffers_cache_row(std::string_view line) {
  std::size_t i = line.find_first_not_of(kSeps);
  return i != std::string_view::npos && line.substr(i).starts_with("-/+ buffers/cache:");
}

// The processor-column heading: the first "CPU" that stands as a whole
// token. The heading line of current sysstat is preceded by a line that ends
// in "(N CPU)", which must not be taken for it.
std::size_t find_cpu_heading(std::string_view text) {
  for (std::size_t at = text.find("CPU"); at != std::string_view::npos; at = text.find("CPU", at + 1)) {
    bool starts = at == 0 || text[at - 1] == ' ';
    bool ends = at + 3 < text.size() && text[at + 3] == ' ';
    if (starts && ends) return at;
  }
  return std::string_view::npos;
}

// Tokens separated by blanks only, as strtok with " " leaves them.
class Tokens {
 public:
  explicit Tokens(std::string_view text) : text_(text) {}
  std::size_t pos() const { return pos_; }
  void seek(std::size_t p) { pos_ = p; }
  bool next(std::string_view &tok) {
    std::size_t b = text_.find_first_not_of(' ', pos_);
    if (b == std::string_view::npos) {
      pos_ = text_.size();
      return false;
    }
    std::size_t e = text_.find(' ', b);
    if (e == std::string_view::npos) {
      tok = text_.substr(b);
      pos_ = text_.size();
    } else {
      tok = text_.substr(b, e - b);
      pos_ = e + 1;
    }
    return true;
  }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
};

}  // namespace

int32_t parse_free_output(std::string_view out) noexcept {
  try {
    LineReader lines(out);
    std::string_view header, mem_line, line3;
    bool have_header = lines.next(header);
    bool have_mem = have_header && lines.next(mem_line);
    auto mem = have_mem ? fields(mem_line, kSeps) : std::vector<std::string_view>{};
    if (mem.size() < 2) {
      log_msg(LOG_ERR, "cannot get total memory : %m");
      return -1;
    }
    long long total = 0;
    read_lld(mem[1], total);
    if (total <= 0) {
      log_msg(LOG_ERR, "cannot convert total memory value: %m");
      return -1;
    }

    bool have_line3 = lines.next(line3);
    long long used = 0;
    bool classic = have_line3 && is_buffers_cache_row(line3);
    if (classic || !used_from_available(header, mem, total, used)) {
      auto row = have_line3 ? fields(line3, kSeps) : std::vector<std::string_view>{};
      if (row.size() < 3) {
        log_msg(LOG_ERR, "cannot get used memory : %m");
        return -1;
      }
      read_lld(row[2], used);
    }
    // A negative figure or one too large to scale is as unusable as none.
    if (used <= 0 || used > std::numeric_limits<long long>::max() / 100) {
      log_msg(LOG_ERR, "cannot convert used memory value: %m");
      return -1;
    }
    return static_cast<int32_t>(used * 100 / total);
  } catch (...) {
    log_msg(LOG_ERR, "cannot get total memory : %m");
    return -1;
  }
}

int32_t parse_mpstat_output(std::string_view out) noexcept {
  if (out.size() > kMpstatRead) out = out.substr(0, kMpstatRead);
  if (std::size_t z = out.find('\0'); z != std::string_view::npos) out = out.substr(0, z);

  Tokens toks(out);
  std::size_t heading = find_cpu_heading(out);
  std::string_view tok;
  int n = 0;
  bool found = false;
  if (heading != std::string_view::npos) {
    toks.seek(heading);
    toks.next(tok);  // "CPU"
    while (toks.next(tok)) {
      ++n;
      if (tok.starts_with("%idle")) {
        found = true;
        break;
      }
    }
  }
  if (!found) {
    log_msg(LOG_ERR, "did not find %%idle flag in mpstat: %m");
    return -1;
  }

  // The row averaging all processors; without one, the next row.
  std::size_t all = out.find("all", toks.pos());
  if (all != std::string_view::npos) toks.seek(all);
  bool ok = toks.next(tok);
  for (int i = 0; ok && i < n; ++i) ok = toks.next(tok);
  float idle = 0;
  if (ok) {
    std::string cell(tok);
    ok = std::sscanf(cell.c_str(), "%f", &idle) == 1;
  }
  double busy = 100.5 - static_cast<double>(idle);
  if (!ok || !std::isfinite(busy) || busy <= -2147483648.0 || busy >= 2147483648.0) {
    log_msg(LOG_ERR, "cannot get cpu idle : %m");
    return -1;
  }
  return static_cast<int32_t>(busy);
}

int disk_stats(const char *path, uint32_t *used, uint32_t *free_bytes) noexcept {
  struct statvfs vfs;
  if (::statvfs(path, &vfs) != 0) {
    report("err != OK", "util_linux", "UTILS_get_disk_stats", kDiskStatsReportLine);
    return -1;
  }
  // Computed in 64 bits; a count that does not fit the 32-bit outputs is
  // reported as the largest one rather than wrapped.
  auto clamp32 = [](uint64_t v) { return v > 0xFFFFFFFFULL ? 0xFFFFFFFFU : static_cast<uint32_t>(v); };
  uint64_t bsize = vfs.f_bsize;
  uint64_t freeb = static_cast<uint64_t>(vfs.f_bfree) * bsize;
  uint64_t total = static_cast<uint64_t>(vfs.f_blocks) * bsize;
  if (free_bytes) *free_bytes = clamp32(freeb);
  if (used) *used = clamp32(total >= freeb ? total - freeb : 0);
  return 0;
}

}  // namespace pl

namespace {

// Reads up to `max` bytes of the program's output; false when the pipe
// could not be opened.
bool run_and_read(const char *program, std::size_t max, std::string &out) noexcept {
  pl::UniquePipe pipe(::popen(program, "r"));
  if (!pipe) return false;
  out.clear();
  char buf[4096];
  while (out.size() < max) {
    std::size_t want = std::min(sizeof buf, max - out.size());
    std::size_t n = std::fread(buf, 1, want, pipe.get());
    if (n == 0) break;
    try {
      out.append(buf, n);
    } catch (...) {
      break;
    }
  }
  return true;
}

}  // namespace

extern "C" {

PAM_LIB_API int get_kernel_release(char *buf, unsigned int size) noexcept {
  struct utsname u;
  if (::uname(&u) != 0) return -1;
  if (!buf) return size == 0 ? 0 : -1;
  std::strncpy(buf, u.release, size);
  return 0;
}

PAM_LIB_API uint64_t UTILS_get_free_disk_space(void) noexcept {
  struct statvfs vfs;
  if (::statvfs("/", &vfs) != 0) return 0;
  return static_cast<uint64_t>(vfs.f_bsize) * static_cast<uint64_t>(vfs.f_bfree);
}

PAM_LIB_API int UTILS_get_disk_stats(uint32_t *used, uint32_t *free_bytes) noexcept {
  return pl::disk_stats("/", used, free_bytes);
}

PAM_LIB_API int32_t UTIL_GetMemUtilization(void) noexcept {
  std::string out;
  if (!run_and_read("free", pl::kFreeReadMax, out)) {
    pl::log_msg(LOG_ERR, "cannot open pipe to free: %m");
    return -1;
  }
  return pl::parse_free_output(out);
}

PAM_LIB_API int32_t UTIL_GetCPUUtilization(void) noexcept {
  std::string out;
  if (!run_and_read("mpstat", pl::kMpstatRead, out)) {
    pl::log_msg(LOG_ERR, "cannot open pipe to mpstat: %m");
    return -1;
  }
  return pl::parse_mpstat_output(out);
}

}  // extern "C"
