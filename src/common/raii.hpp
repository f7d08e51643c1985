// Small owners for the C resources the library holds.
#pragma once

#include <cstdio>
#include <memory>
#include <unistd.h>
#include <utility>

namespace pl {

class UniqueFd {
 public:
  UniqueFd() noexcept = default;
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  UniqueFd(UniqueFd &&o) noexcept : fd_(o.release()) {}
  UniqueFd &operator=(UniqueFd &&o) noexcept {
    if (this != &o) reset(o.release());
    return *this;
  }
  UniqueFd(const UniqueFd &) = delete;
  UniqueFd &operator=(const UniqueFd &) = delete;
  ~UniqueFd() { reset(); }

  int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }
  int release() noexcept { return std::exchange(fd_, -1); }
  void reset(int fd = -1) noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

struct FileCloser {
  void operator()(std::FILE *f) const noexcept {
    if (f) std::fclose(f);
  }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

struct PipeCloser {
  void operator()(std::FILE *f) const noexcept {
    if (f) ::pclose(f);
  }
};
using UniquePipe = std::unique_ptr<std::FILE, PipeCloser>;

}  // namespace pl
