// The one client context of the process and the lock that shares it: every
// request that talks to mgtd holds a DaemonLock for its whole sequence of
// remote calls, so the privilege, uid and the daemon's per-connection walk
// state are that request's user's alone while it runs.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace mgtweb {

// What a request acts as.
struct Identity {
  int level = 0;
  int uid = -1;
};

// Where the daemon's printed output and questions go while a command runs.
class CommandSink {
 public:
  virtual ~CommandSink() = default;
  virtual void output(std::string_view text) = 0;
  // The answer, or nothing to cancel the command.
  virtual std::optional<std::string> ask(const std::string &prompt, bool secret) = 0;
};

// Installs the hooks and makes the first connection (a failed one is retried
// by the next request). Call once before serving.
void link_init(const std::string &socket_path);

class DaemonLock {
 public:
  // who: the user whose rights the calls carry; nullptr for the login
  // sequence, which sets its own.
  explicit DaemonLock(const Identity *who, CommandSink *sink = nullptr);
  ~DaemonLock();
  DaemonLock(const DaemonLock &) = delete;
  DaemonLock &operator=(const DaemonLock &) = delete;

  bool connected() const;
  // The daemon's text for the last failed call's error word.
  std::string last_error() const;
};

// The daemon's error word for "end of list", which ends every walk.
inline constexpr int kErrEnd = 6;

}  // namespace mgtweb
