#include "pam_env.hpp"
#include "support/mgtd_process.hpp"
#include "support/pam_wrapper_paths.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#ifndef PAM_LIB_PROBE_MODULE
#error "PAM_LIB_PROBE_MODULE must name the probe module"
#endif

namespace pamenv {
namespace {

constexpr const char *kModuleDir = testsupport::kPamWrapperModuleDir;
constexpr const char *kMarker = "PAM_LIB_PAMENV_DIR";

void write(const std::string &path, const std::string &text) {
  std::ofstream(path, std::ios::trunc) << text;
}

std::string passdb_content() {
  std::string s;
  for (const User &u : {kAlice, kBob, kGhost})
    s += std::string(u.name) + ":" + u.password + ":pam_lib_mgtd\n";
  return s;
}

void build_world(const std::string &d) {
  std::filesystem::create_directories(d + "/services");
  std::string matrix = std::string(kModuleDir) + "/pam_matrix.so passdb=" + d + "/passdb";
  std::string chatty = std::string(kModuleDir) + "/pam_chatty.so num_lines=1 info error";
  std::string probe =
      std::string(PAM_LIB_PROBE_MODULE) + " ctl=" + d + "/probe.ctl log=" + d + "/probe.log";
  // The probe answers alone when its control file asks it to prompt
  // (success ends the stack), and otherwise steps aside (ignore).
  write(d + "/services/pam_lib_mgtd",
        "auth [success=done ignore=ignore default=die] " + probe + "\n" +
        // pam_chatty has no credential handler: the gate skips it unless a
        // test asks for it (such tests open no session).
        "auth [success=ok ignore=1 default=die] " + probe + " gate=1\n" +
        "auth [default=ignore] " + chatty + "\n" +
        "auth required " + matrix + "\n" +
        "account required " + matrix + "\n" +
        "password [success=done ignore=ignore default=die] " + probe + "\n" +
        "password required " + matrix + "\n" +
        "session required " + matrix + "\n" +
        "session required " + probe + "\n");
  write(d + "/passdb", passdb_content());
  write(d + "/probe.ctl", "");
  write(d + "/probe.log", "");
  write(d + "/passwd",
        "root:x:0:0:root:/root:/bin/sh\n"
        "alice:x:1001:2001:Alice:/home/alice:/bin/sh\n"
        "bob:x:1002:2002:Bob:/home/bob:/bin/sh\n");
  write(d + "/group", "root:x:0:\nalice:x:2001:\nbob:x:2002:\n");
}


}  // namespace

std::string dir() {
  const char *d = std::getenv(kMarker);
  return d ? d : "";
}
std::string passdb() { return dir() + "/passdb"; }
bool active() { return !dir().empty() && std::getenv("PAM_WRAPPER") != nullptr; }

void set_control(const std::string &lines) { write(dir() + "/probe.ctl", lines); }
void clear_log() { write(dir() + "/probe.log", ""); }
void reset_passdb() { write(passdb(), passdb_content()); }

std::vector<std::string> log_lines() {
  std::ifstream in(dir() + "/probe.log");
  std::vector<std::string> out;
  std::string line;
  while (std::getline(in, line)) out.push_back(line);
  return out;
}

}  // namespace pamenv

int main(int argc, char **argv) {
  if (!std::getenv(pamenv::kMarker)) {
    const char *tmp = std::getenv("TMPDIR");
    std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/pam_lib_pam.XXXXXX";
    if (!mkdtemp(templ.data())) {
      std::perror("mkdtemp");
      return 1;
    }
    pamenv::build_world(templ);
    std::string preload = testsupport::sanitizer_runtime();
    // pam_wrapper loads libpam with RTLD_DEEPBIND unless it sees libasan in
    // LD_PRELOAD, and ThreadSanitizer refuses deep binding: no wrappers then
    // (pamenv::active() is false and the tests say so).
    if (preload.find("libtsan.so") != std::string::npos) {
      setenv(pamenv::kMarker, templ.c_str(), 1);
      unsetenv("PAM_WRAPPER");
      ::testing::InitGoogleTest(&argc, argv);
      int rc = RUN_ALL_TESTS();
      std::error_code ec;
      std::filesystem::remove_all(templ, ec);
      return rc;
    }
    for (const char *lib : {testsupport::kPamWrapperLib, testsupport::kNssWrapperLib})
      preload += (preload.empty() ? "" : " ") + std::string(lib);
    setenv(pamenv::kMarker, templ.c_str(), 1);
    setenv("LD_PRELOAD", preload.c_str(), 1);
    setenv("PAM_WRAPPER", "1", 1);
    setenv("PAM_WRAPPER_SERVICE_DIR", (templ + "/services").c_str(), 1);
    // Deep binding does not mix with the sanitizers' interceptors.
    setenv("PAM_WRAPPER_DISABLE_DEEPBIND", "1", 1);
    setenv("NSS_WRAPPER_DISABLE_DEEPBIND", "1", 1);
    setenv("NSS_WRAPPER_PASSWD", (templ + "/passwd").c_str(), 1);
    setenv("NSS_WRAPPER_GROUP", (templ + "/group").c_str(), 1);
    execv("/proc/self/exe", argv);
    std::perror("execv");
    return 1;
  }
  ::testing::InitGoogleTest(&argc, argv);
  int rc = RUN_ALL_TESTS();
  std::error_code ec;
  std::filesystem::remove_all(pamenv::dir(), ec);
  return rc;
}
