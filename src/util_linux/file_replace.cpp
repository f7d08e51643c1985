#include "util_linux/file_replace.hpp"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace pl {
namespace {

std::string dir_of(const std::string &path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::string edit_target(const std::string &path) {
  std::string at = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st;
    if (::lstat(at.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return at;
    char buf[PATH_MAX];
    const ssize_t n = ::readlink(at.c_str(), buf, sizeof buf);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buf) return {};
    std::string next(buf, static_cast<std::size_t>(n));
    // A relative link is read from the directory that holds it.
    at = next[0] == '/' ? next : dir_of(at) + "/" + next;
  }
  return {};
}

FileReplacement::FileReplacement(std::string target, std::string temp, const struct stat *like) noexcept
    : target_(std::move(target)), temp_(std::move(temp)) {
  try {
    dir_ = dir_of(target_);
  } catch (...) {
    return;
  }
  UniqueFd fd(::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                     like ? 0600 : 0666));
  if (!fd) return;
  created_ = true;
  if (like) {
    // Owner before mode: a change of owner clears set-id bits.
    struct stat now;
    if (::fstat(fd.get(), &now) != 0) return;
    if ((now.st_uid != like->st_uid || now.st_gid != like->st_gid) &&
        ::fchown(fd.get(), like->st_uid, like->st_gid) != 0)
      return;
    if (::fchmod(fd.get(), like->st_mode & 07777) != 0) return;
  }
  out_.reset(::fdopen(fd.get(), "we"));
  if (out_) fd.release();
}

FileReplacement::~FileReplacement() {
  out_.reset();
  if (created_) ::unlink(temp_.c_str());
}

bool FileReplacement::commit() noexcept {
  if (!out_) return false;
  bool ok = std::fflush(out_.get()) == 0 && !std::ferror(out_.get());
  ok = ok && ::fsync(::fileno(out_.get())) == 0;
  ok = std::fclose(out_.release()) == 0 && ok;
  if (!ok || ::rename(temp_.c_str(), target_.c_str()) != 0) return false;
  created_ = false;
  // The rename itself must reach the disk too.
  UniqueFd dir(::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir) ::fsync(dir.get());
  return true;
}

}  // namespace pl
