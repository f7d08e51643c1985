// A live reference daemon for tests: mgtd on dir/mgtd.sock with its security
// log in dir, started in the foreground and ready once it says so.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace testsupport {

// The bundled example model in the source tree.
std::string example_model();

class MgtdProcess {
 public:
  // bin: the daemon program (or a wrapper); extra: further options.
  MgtdProcess(const std::string &bin, const std::string &dir,
              std::vector<std::string> extra = {});
  ~MgtdProcess();
  MgtdProcess(const MgtdProcess &) = delete;
  MgtdProcess &operator=(const MgtdProcess &) = delete;

  bool ready() const { return ready_; }
  // SIGTERM, then the wait status (SIGKILL after 5 s); -1 when not running.
  int stop();
  pid_t pid() const { return pid_; }
  const std::string &socket() const { return socket_; }
  const std::string &security_log() const { return log_; }
  const std::string &output() const { return output_; }  // stdout up to "ready"
  int tcp_port() const { return tcp_port_; }               // with --tcp, else -1

 private:
  pid_t pid_ = -1;
  bool ready_ = false;
  int tcp_port_ = -1;
  std::string socket_, log_, output_;
};

// The sanitizer runtime this process runs with ("" without one): it must
// come first in LD_PRELOAD when a test preloads pam_wrapper or nss_wrapper.
std::string sanitizer_runtime();

}  // namespace testsupport
