// A private PAM world for the tests: pam_wrapper with a "pam_lib_mgtd"
// service built from pam_matrix, pam_chatty and the probe module, and
// nss_wrapper with a few users. main() (pam_env.cpp) writes the files, sets
// the wrappers' variables and re-executes the test program with them
// preloaded (a sanitizer runtime, when there is one, stays first).
#pragma once

#include <string>
#include <vector>

namespace pamenv {

// Users known to pam_matrix (password) and to nss_wrapper (uid/gid), except
// "ghost", whom only pam_matrix knows.
struct User {
  const char *name;
  const char *password;
  int gid;
};
inline constexpr User kAlice{"alice", "alice-secret", 2001};
inline constexpr User kBob{"bob", "bob-secret", 2002};
inline constexpr User kGhost{"ghost", "ghost-secret", -1};

// Directory holding the service files and the data files below.
std::string dir();
// Sets the probe's control file ("name=value" lines), empty by default.
void set_control(const std::string &lines);
// The probe's event lines since the last clear_log().
std::vector<std::string> log_lines();
void clear_log();
// Restores the password database to its initial content.
void reset_passdb();
std::string passdb();
// Whether pam_wrapper is active (false: the tests must skip).
bool active();

}  // namespace pamenv
