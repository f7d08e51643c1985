// Where Debian installs pam_wrapper, nss_wrapper and pam_wrapper's modules,
// for the tests that preload them to log users in without the machine's PAM.
#pragma once

#ifndef PAM_LIB_MULTIARCH
#error "PAM_LIB_MULTIARCH must name the multiarch directory (e.g. x86_64-linux-gnu)"
#endif

namespace testsupport {
inline constexpr const char *kPamWrapperLib = "/usr/lib/" PAM_LIB_MULTIARCH "/libpam_wrapper.so";
inline constexpr const char *kNssWrapperLib = "/usr/lib/" PAM_LIB_MULTIARCH "/libnss_wrapper.so";
inline constexpr const char *kPamWrapperModuleDir = "/usr/lib/" PAM_LIB_MULTIARCH "/pam_wrapper";
}  // namespace testsupport
