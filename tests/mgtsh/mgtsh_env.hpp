// What the mgtsh tests share: a live mgtd on a private socket, a PAM world
// for pam_wrapper (users admin and monitor), and running mgtsh as a child.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "support/harness.hpp"
#include "support/mgtd_process.hpp"

namespace mgtshtest {

// The reference daemon serving the example model on dir/mgtd.sock until
// destroyed.
class Daemon : public testsupport::MgtdProcess {
 public:
  explicit Daemon(const std::string &dir);
};

// A pam_wrapper service "pam_lib_mgtd" built from pam_matrix, with the
// model's users admin (credential record) and monitor (group level only,
// through nss_wrapper), and the environment that activates it.
class PamWorld {
 public:
  explicit PamWorld(const std::string &dir);
  // Variables to add to a child's environment; empty when pam_wrapper is
  // not installed.
  const std::map<std::string, std::string> &env() const { return env_; }
  bool available() const { return !env_.empty(); }

 private:
  std::map<std::string, std::string> env_;
};

struct Run {
  int status = -1;  // exit status, or -1 when it did not exit normally
  std::string out, err;
};

struct Spawn {
  std::vector<std::string> args;            // after the program name
  std::string input;                        // standard input
  std::map<std::string, std::string> env;   // added to the environment
  std::string password;                     // given on descriptor 3 when set
  int timeout_s = 30;
};

// Runs mgtsh and collects what it wrote.
Run run_mgtsh(const std::string &dir, const Spawn &s);

std::string mgtsh_path();

}  // namespace mgtshtest
