// The logged-in user: PAM login with a session, its idle time-out, refresh
// and end.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace mgtsh {

class LineInput;

struct LoginOptions {
  std::optional<std::string> user;  // prompted for when absent
  int password_fd = -1;             // read the password from here, else prompt
  int idle_minutes = 15;            // -1: the session never expires
};

// What the daemon knows of the user: the credential record (or, without
// one, the privilege level of the user's group).
struct Rights {
  int32_t level = -1;
  int32_t uid = -1;
  std::string full_name;
};

class Session {
 public:
  Session() = default;
  ~Session();  // ends the session
  Session(const Session &) = delete;
  Session &operator=(const Session &) = delete;

  // Logs the user in and opens a session. Prints the reason and returns
  // false on failure.
  bool login(const LoginOptions &opts, LineInput &input);

  // Refreshes the idle time-out before a command; false when the session
  // has expired (or was never opened).
  bool refresh();

  // Ends the session (PAM_session_delete); harmless when there is none.
  void end();

  bool active() const { return id_ >= 0; }
  const std::string &user() const { return user_; }
  const Rights &rights() const { return rights_; }
  int id() const { return id_; }

 private:
  int id_ = -1;
  std::string user_;
  Rights rights_;
};

}  // namespace mgtsh
