// The real programs (mgtd, mgtweb, mgtsh, examples) and the pam_wrapper world for tests.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace testsupport {

using Env = std::map<std::string, std::string>;
std::string example_model();  // the bundled one in the source tree

// A server run in dir with extra environment (LD_PRELOAD joined), ready once it prints
// ready_line; stop() (also on destruction): SIGTERM, the wait status, SIGKILL after 5 s.
struct Server {
  Server(std::vector<std::string> argv, const std::string &ready_line, const Env &env = {}, const std::string &dir = ".");
  virtual ~Server() { stop(); }
  Server(const Server &) = delete;
  bool ready() const { return ready_; }
  int stop();
  pid_t pid() const { return pid_; }
  const std::string &output() const { return output_; }  // stdout up to the ready line
  pid_t pid_ = -1;
  bool ready_ = false;
  std::string output_;
};

// mgtd in the foreground on dir/mgtd.sock with its security log in dir.
struct MgtdProcess : Server {
  MgtdProcess(const std::string &bin, const std::string &dir, std::vector<std::string> extra = {});
  std::string socket() const { return dir_ + "/mgtd.sock"; }
  std::string security_log() const { return dir_ + "/security.log"; }
  int tcp_port() const;  // with --tcp, else -1
  std::string dir_;
};

// A plain connection to a local socket (a server the caller started itself), or -1;
// bind_unix: a socket bound at path that nobody listens on yet (the caller may listen()).
int connect_unix(const std::string &path);
int bind_unix(const std::string &path);

// The sanitizer runtime this process runs with: first in LD_PRELOAD for pam_wrapper.
std::string sanitizer_runtime();

// The environment for pam_wrapper's service "pam_lib_mgtd" and nss_wrapper's users admin
// (uid 1000), operator, monitor (group 100), passwords their names; {} if missing or TSan.
Env pam_world(const std::string &dir);
// The wrappers' environment for a world a test wrote itself in dir: services/, passwd, group.
Env pam_wrapper_env(const std::string &dir);
inline constexpr const char *kNoPamWorld = "needs pam_wrapper and nss_wrapper (libpam-wrapper, libnss-wrapper), not TSan";

struct Run {
  int status = -1;  // exit status, -1 when it did not exit (killed after 60 s)
  std::string out, err;
};
// Runs argv (PATH searched) with input on stdin and fd3 (if any) on descriptor 3.
Run run_program(const std::string &dir, const std::vector<std::string> &argv, const std::string &input = {},
                const Env &env = {}, const std::string &fd3 = {});

}  // namespace testsupport
