// Fake system programs first on PATH: each records its arguments, one call
// per line as "[arg] [arg] ...", and exits with a chosen status.
#pragma once

#include <sys/stat.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/harness.hpp"

namespace testsupport {

class FakeCommands {
 public:
  explicit FakeCommands(std::vector<std::string> names) : names_(std::move(names)) {
    bin_ = dir_.file("bin");
    ::mkdir(bin_.c_str(), 0755);
    for (const auto &n : names_) {
      const std::string script = bin_ + "/" + n;
      write_file(script,
                 "#!/bin/sh\n"
                 "{ for a in \"$@\"; do printf '[%s] ' \"$a\"; done; echo; } >> '" +
                     log_path(n) + "'\n"
                 "exit $(cat '" + status_path(n) + "' 2>/dev/null || echo 0)\n");
      ::chmod(script.c_str(), 0755);
    }
    const char *old = std::getenv("PATH");
    old_path_ = old ? old : "/usr/bin:/bin";
    ::setenv("PATH", (bin_ + ":" + old_path_).c_str(), 1);
  }
  ~FakeCommands() { ::setenv("PATH", old_path_.c_str(), 1); }

  void set_status(const std::string &name, int status) {
    write_file(status_path(name), std::to_string(status) + "\n");
  }
  // Every recorded call of name, one line each.
  std::vector<std::string> calls(const std::string &name) const {
    std::vector<std::string> out;
    std::string all = read_file(log_path(name)), line;
    for (char c : all) {
      if (c == '\n') {
        out.push_back(line);
        line.clear();
      } else {
        line += c;
      }
    }
    return out;
  }

 private:
  std::string log_path(const std::string &n) const { return dir_.file(n + ".log"); }
  std::string status_path(const std::string &n) const { return dir_.file(n + ".status"); }

  TempDir dir_;
  std::string bin_, old_path_;
  std::vector<std::string> names_;
};

}  // namespace testsupport
