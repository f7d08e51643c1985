// Replacing a file's whole content so that a crash at any moment leaves
// either the old or the new content: the new content goes into a file created
// exclusively beside it, takes the file's owner, group and mode, reaches the
// disk and is renamed over the file.
#pragma once

#include <cstdio>
#include <string>
#include <sys/stat.h>

#include "common/raii.hpp"

namespace pl {

// The file that an edit of `path` replaces: `path` itself, or where the
// symlink chain at `path` ends (also when that file does not exist yet), so
// that a link stays a link. Empty when the chain cannot be followed.
std::string edit_target(const std::string &path);

class FileReplacement {
 public:
  // Creates `temp` exclusively, never through a link. `like`: the status of
  // the file to replace, whose owner, group and mode the new content takes;
  // null when it does not exist (mode 0666 less the umask, as a new file).
  // ok() tells whether all of that worked.
  FileReplacement(std::string target, std::string temp, const struct stat *like) noexcept;
  ~FileReplacement();  // removes the temporary file unless committed
  FileReplacement(const FileReplacement &) = delete;
  FileReplacement &operator=(const FileReplacement &) = delete;

  bool ok() const noexcept { return static_cast<bool>(out_); }
  std::FILE *stream() const noexcept { return out_.get(); }

  // Flushes the content to disk, renames it over the target and flushes the
  // directory. false: the target is as it was, the temporary file is gone.
  bool commit() noexcept;

 private:
  std::string target_, temp_, dir_;
  UniqueFile out_;
  bool created_ = false;
};

}  // namespace pl
