#include "files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace mgtd {

namespace {

// Closes a descriptor when it goes out of scope.
struct Fd {
  int fd = -1;
  explicit Fd(int f) : fd(f) {}
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
  Fd(const Fd &) = delete;
  Fd &operator=(const Fd &) = delete;
};

bool write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t k = ::write(fd, data.data(), data.size());
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return false;
    data.remove_prefix(static_cast<std::size_t>(k));
  }
  return true;
}

bool fail(std::string &error, const std::string &path, const char *what) {
  error = path + ": " + what;
  return false;
}

bool fail_errno(std::string &error, const std::string &path) {
  return fail(error, path, std::strerror(errno));
}

std::string dir_of(const std::string &path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

bool append_private(const std::string &path, std::string_view line, std::string &error) {
  // O_NONBLOCK: a planted FIFO must not hold the daemon up.
  Fd f(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
  if (f.fd < 0) return fail_errno(error, path);
  struct stat st{};
  if (::fstat(f.fd, &st) != 0) return fail_errno(error, path);
  if (!S_ISREG(st.st_mode)) return fail(error, path, "not a regular file");
  if (st.st_uid != ::geteuid()) return fail(error, path, "owned by another user");
  if (st.st_nlink != 1) return fail(error, path, "has further hard links");
  if ((st.st_mode & 07777) != 0600 && ::fchmod(f.fd, 0600) != 0) return fail_errno(error, path);
  if (!write_all(f.fd, line)) return fail_errno(error, path);
  return true;
}

bool replace_private(const std::string &path, std::string_view content, std::string &error) {
  std::string dir = dir_of(path);
  std::string base = path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
  std::string tmpl = dir + "/." + base + ".XXXXXX";
  std::vector<char> name(tmpl.begin(), tmpl.end());
  name.push_back('\0');
  // mkostemp creates with O_EXCL: a name someone planted is never opened.
  Fd f(::mkostemp(name.data(), O_CLOEXEC));
  if (f.fd < 0) return fail_errno(error, tmpl);
  const std::string tmp = name.data();
  bool ok = ::fchmod(f.fd, 0600) == 0 && write_all(f.fd, content) && ::fsync(f.fd) == 0;
  if (ok) ok = ::rename(tmp.c_str(), path.c_str()) == 0;
  if (!ok) {
    int e = errno;
    ::unlink(tmp.c_str());
    errno = e;
    return fail_errno(error, path);
  }
  // The rename itself lives in the directory.
  Fd d(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (d.fd < 0 || ::fsync(d.fd) != 0) return fail_errno(error, dir);
  return true;
}

bool read_private(const std::string &path, std::string &content, bool &missing, std::string &error) {
  missing = false;
  Fd f(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (f.fd < 0) {
    if (errno == ENOENT) {
      missing = true;
      return true;
    }
    return fail_errno(error, path);
  }
  struct stat st{};
  if (::fstat(f.fd, &st) != 0) return fail_errno(error, path);
  if (!S_ISREG(st.st_mode)) return fail(error, path, "not a regular file");
  content.clear();
  char buf[4096];
  for (;;) {
    ssize_t k = ::read(f.fd, buf, sizeof buf);
    if (k < 0 && errno == EINTR) continue;
    if (k < 0) return fail_errno(error, path);
    if (k == 0) break;
    content.append(buf, static_cast<std::size_t>(k));
  }
  return true;
}

}  // namespace mgtd
