#include "pam_env.hpp"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "pam_lib.h"
#include "pam_lib/auth.pam.hpp"
#include "support/mgtd_process.hpp"
#include "support/pam_wrapper_paths.hpp"

namespace pamenv {
namespace {

constexpr const char *kMarker = "PAM_LIB_PAMENV_DIR";

void write(const std::string &path, const std::string &text) {
  std::ofstream(path, std::ios::trunc) << text;
}

void build_world(const std::string &d) {
  std::filesystem::create_directories(d + "/services");
  std::string matrix = std::string(testsupport::kPamWrapperModuleDir) + "/pam_matrix.so passdb=" + d + "/passdb\n";
  std::string probe = std::string(PAM_LIB_PROBE_MODULE) + "\n";
  // The probe answers alone when told to prompt (success ends the stack).
  std::string answers_alone = "[success=done ignore=ignore default=die] " + probe;
  write(d + "/services/pam_lib_mgtd", "auth " + answers_alone + "auth required " + matrix +
                                          "account required " + matrix + "password " + answers_alone +
                                          "password required " + matrix + "session required " + matrix +
                                          "session required " + probe);
  std::string passdb;
  for (const User &u : {kAlice, kBob, kGhost}) passdb += std::string(u.name) + ":" + u.password + ":pam_lib_mgtd\n";
  write(d + "/passdb", passdb);
  write(d + "/passwd", "root:x:0:0::/root:/bin/sh\nalice:x:1001:2001::/:/bin/sh\nbob:x:1002:2002::/:/bin/sh\n");
  write(d + "/group", "root:x:0:\nalice:x:2001:\nbob:x:2002:\n");
}

}  // namespace

bool active() { return std::getenv(kMarker) && std::getenv("PAM_WRAPPER"); }

std::vector<std::string> events(const testsupport::SyslogCapture &cap) {
  std::vector<std::string> out;
  for (const auto &l : cap.lines())
    if (l.text.rfind("probe ", 0) == 0) out.push_back(l.text.substr(6));
  return out;
}

int count_events(const testsupport::SyslogCapture &cap, const std::string &prefix) {
  int n = 0;
  for (const auto &e : events(cap)) n += e.rfind(prefix, 0) == 0;
  return n;
}

pam_handle_t *open_session(const char *user) {
  static PamConvData data{"unused", nullptr, 0};
  static const pam_conv conv{conv_func, &data};
  pam_handle_t *h = nullptr;
  if (!active()) return nullptr;
  EXPECT_EQ(pam_start("pam_lib_mgtd", user, &conv, &h), PAM_SUCCESS);
  EXPECT_EQ(pam_open_session(h, 0), PAM_SUCCESS);
  return h;
}

}  // namespace pamenv

int main(int argc, char **argv) {
  const char *dir = std::getenv(pamenv::kMarker);
  std::string preload = testsupport::sanitizer_runtime();
  // pam_wrapper loads libpam with RTLD_DEEPBIND, which ThreadSanitizer
  // refuses: the tests then run without the wrappers (active() is false).
  if (!dir && preload.find("libtsan.so") == std::string::npos) {
    const char *tmp = std::getenv("TMPDIR");
    std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/pam_lib_pam.XXXXXX";
    if (!mkdtemp(templ.data())) {
      std::perror("mkdtemp");
      return 1;
    }
    pamenv::build_world(templ);
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
  if (dir) std::filesystem::remove_all(dir, ec);
  return rc;
}
