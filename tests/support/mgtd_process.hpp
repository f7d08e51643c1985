// Child processes for the tests that run the real programs: the reference
// daemon, mgtweb, mgtsh and the examples, and the pam_wrapper world in which
// they log users in without the machine's PAM.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace testsupport {

using Env = std::map<std::string, std::string>;

std::string example_model();  // the bundled example model in the source tree

// A server started in dir with extra environment (LD_PRELOAD is joined),
// ready once it prints ready_line; stopped with SIGTERM when destroyed.
class Server {
 public:
  Server(std::vector<std::string> argv, const std::string &ready_line, const Env &env = {},
         const std::string &dir = ".");
  virtual ~Server() { stop(); }
  Server(const Server &) = delete;
  Server &operator=(const Server &) = delete;
  bool ready() const { return ready_; }
  int stop();  // SIGTERM, then the wait status (SIGKILL after 5 s); -1 when not running
  pid_t pid() const { return pid_; }
  const std::string &output() const { return output_; }  // stdout up to the ready line

 private:
  pid_t pid_ = -1;
  bool ready_ = false;
  std::string output_;
};

// mgtd on dir/mgtd.sock with its security log in dir, in the foreground.
class MgtdProcess : public Server {
 public:
  MgtdProcess(const std::string &bin, const std::string &dir, std::vector<std::string> extra = {});
  const std::string &socket() const { return socket_; }
  const std::string &security_log() const { return log_; }
  int tcp_port() const;  // with --tcp, else -1

 private:
  std::string socket_, log_;
};

// The sanitizer runtime this process runs with ("" without one): it must
// come first in LD_PRELOAD when a test preloads pam_wrapper or nss_wrapper.
std::string sanitizer_runtime();

// A pam_wrapper service "pam_lib_mgtd" (pam_matrix) with admin, operator
// and monitor, whose passwords are their names (uids 1000..1002, groups 300,
// 200, 100 through nss_wrapper): the environment that activates it, or {}
// when pam_wrapper is missing or cannot run here (ThreadSanitizer).
Env pam_world(const std::string &dir);
inline constexpr const char *kNoPamWorld = "needs pam_wrapper and nss_wrapper (libpam-wrapper, libnss-wrapper), not under TSan";

struct Run {
  int status = -1;  // exit status, or -1 when it did not exit (killed after 60 s)
  std::string out, err;
  double seconds = 0;
};
// Runs argv (PATH searched) with input on stdin and fd3 (when not empty) on
// descriptor 3; its output goes through files in dir.
Run run_program(const std::string &dir, const std::vector<std::string> &argv, const std::string &input = {},
                const Env &env = {}, const std::string &fd3 = {});

}  // namespace testsupport
