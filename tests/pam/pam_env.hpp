// A private PAM world for the tests: pam_wrapper with a "pam_lib_mgtd"
// service made of pam_matrix and the probe module (pam_lib_probe.c),
// nss_wrapper with alice and bob. main() (pam_env.cpp) writes the files into
// a temporary directory and re-executes the test program with the wrappers
// preloaded.
#pragma once

#include <security/pam_appl.h>

#include <string>
#include <vector>

#include "support/harness.hpp"

namespace pamenv {

// Users known to pam_matrix and nss_wrapper; ghost is unknown to the latter.
struct User {
  const char *name, *password;
  int gid;
};
inline constexpr User kAlice{"alice", "alice-secret", 2001};
inline constexpr User kBob{"bob", "bob-secret", 2002};
inline constexpr User kGhost{"ghost", "ghost-secret", -1};

// False under ThreadSanitizer, which refuses pam_wrapper's loading.
bool active();
// The probe's events ("close alice", ...) among the captured lines.
std::vector<std::string> events(const testsupport::SyslogCapture &cap);
int count_events(const testsupport::SyslogCapture &cap, const std::string &prefix);
// A handle with an open session of user, null when pam_wrapper is not active.
pam_handle_t *open_session(const char *user);

}  // namespace pamenv
