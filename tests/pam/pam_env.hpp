// A private PAM world: pam_wrapper with a "pam_lib_mgtd" service made of
// pam_matrix and the probe module (pam_lib_probe.c), nss_wrapper knowing
// alice (gid 2001) and bob (gid 2002). main() (pam_env.cpp) writes it into a
// temporary directory and re-executes the test with the wrappers preloaded.
#pragma once

#include <security/pam_appl.h>

#include "support/harness.hpp"

namespace pamenv {

// False under ThreadSanitizer, which refuses pam_wrapper's loading.
bool active();
// The probe's events ("close alice", ...) that start with prefix among the captured lines.
std::vector<std::string> events(const testsupport::SyslogCapture &cap, const std::string &prefix);

}  // namespace pamenv
