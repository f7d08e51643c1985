#include "session.hpp"

#include <security/pam_appl.h>
#include <syslog.h>
#include <unistd.h>

#include <pam_lib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "escape.hpp"
#include "hooks.hpp"
#include "terminal.hpp"

namespace mgtsh {

namespace {

// Room for the daemon's credential record: level and uid (4 bytes each),
// then the user's full name.
constexpr int kCredSize = 64;

std::string remote_host() {
  // Over ssh the client's address is the first word of SSH_CLIENT.
  if (const char *c = std::getenv("SSH_CLIENT")) {
    std::string s(c);
    return s.substr(0, s.find(' '));
  }
  return "localhost";
}

std::string terminal_name() {
  const char *t = ttyname(STDIN_FILENO);
  return t ? t : "mgtsh";
}

}  // namespace

Session::~Session() { end(); }

bool Session::login(const LoginOptions &opts, LineInput &input) {
  if (PAM_session_init() != 0) {
    std::fprintf(stderr, "mgtsh: cannot start the session table\n");
    return false;
  }
  std::string user;
  if (opts.user) {
    user = *opts.user;
  } else {
    auto line = input.answer("login: ", false);
    if (!line || line->empty()) {
      std::fprintf(stderr, "mgtsh: no user name given\n");
      return false;
    }
    user = *line;
  }
  std::optional<std::string> password =
      opts.password_fd >= 0 ? read_fd_line(opts.password_fd) : input.answer("Password: ", true);
  if (!password) {
    std::fprintf(stderr, "mgtsh: no password given\n");
    return false;
  }

  unsigned char cred[kCredSize] = {};
  // Without a credential record only the level arrives (first 4 bytes):
  // the uid then stays unknown rather than reading as root.
  const int32_t unknown_uid = -1;
  std::memcpy(cred + 4, &unknown_uid, 4);
  int id = -1;
  std::string rhost = remote_host(), tty = terminal_name();
  int r = PAM_AuthUser(user.c_str(), password->c_str(), rhost.c_str(), tty.c_str(), 1, kCredSize,
                       cred, &id);
  exchange_done();
  wipe(*password);
  if (r != 0) {
    // One text whatever failed, so that a guesser learns nothing (no such
    // user, wrong password, daemon down); the detail is for the log only.
    syslog(LOG_AUTH | LOG_NOTICE, "mgtsh: login failed for %s: %s", shown(user).c_str(),
           r > 0 ? pam_strerror(nullptr, r) : "error");
    std::fputs("Login incorrect\n", stderr);
    return false;
  }
  id_ = id;
  user_ = user;
  std::memcpy(&rights_.level, cred, 4);
  std::memcpy(&rights_.uid, cred + 4, 4);
  cred[kCredSize - 1] = 0;
  rights_.full_name = reinterpret_cast<const char *>(cred + 8);

  // Requests from now on carry the user's own rights, not the fixed level
  // of the login sequence.
  set_privelege(rights_.level);
  set_uid(rights_.uid);
  if (opts.idle_minutes != -1 && PAM_session_add(id_, opts.idle_minutes) != 0)
    std::fprintf(stderr, "mgtsh: cannot set the idle time-out of session %d\n", id_);
  return true;
}

bool Session::refresh() { return id_ >= 0 && PAM_session_check_and_refresh(id_) == 0; }

void Session::end() {
  if (id_ < 0) return;
  PAM_session_delete(id_);
  id_ = -1;
}

}  // namespace mgtsh
