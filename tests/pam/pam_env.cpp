#include "pam_env.hpp"

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "support/mgtd_process.hpp"
#include "support/pam_wrapper_paths.hpp"

namespace {

void write(const std::string &path, const std::string &text) {
  std::ofstream(path, std::ios::trunc) << text;
}

void build_world(const std::string &d) {
  std::filesystem::create_directories(d + "/services");
  std::string matrix = std::string(testsupport::kPamWrapperModuleDir) + "/pam_matrix.so passdb=" + d + "/passdb\n";
  // The probe answers alone when told to prompt (success ends the stack).
  write(d + "/services/pam_lib_mgtd", "auth [success=done ignore=ignore default=die] " PAM_LIB_PROBE_MODULE
                                      "\nauth required " + matrix + "account required " + matrix +
                                      "password required " + matrix + "session required " + matrix +
                                      "session required " PAM_LIB_PROBE_MODULE "\n");
  write(d + "/passdb", "alice:alice-secret:pam_lib_mgtd\nbob:bob-secret:pam_lib_mgtd\nghost:ghost-secret:pam_lib_mgtd\n");
  write(d + "/passwd", "alice:x:1001:2001::/:/bin/sh\nbob:x:1002:2002::/:/bin/sh\n");
  write(d + "/group", "alice:x:2001:\nbob:x:2002:\n");
}

}  // namespace

bool pamenv::active() { return std::getenv("PAM_LIB_PAMENV_DIR") && std::getenv("PAM_WRAPPER"); }

std::vector<std::string> pamenv::events(const testsupport::SyslogCapture &cap, const std::string &prefix) {
  std::vector<std::string> out;
  for (const auto &l : cap.lines())
    if (l.text.rfind("probe " + prefix, 0) == 0) out.push_back(l.text.substr(6));
  return out;
}

int main(int argc, char **argv) {
  const char *dir = std::getenv("PAM_LIB_PAMENV_DIR");
  std::string preload = testsupport::sanitizer_runtime();
  // pam_wrapper loads libpam with RTLD_DEEPBIND, which ThreadSanitizer
  // refuses: the tests then run without the wrappers (active() is false).
  if (!dir && preload.find("libtsan.so") == std::string::npos) {
    std::string templ = std::filesystem::temp_directory_path().string() + "/pam_lib_pam.XXXXXX";
    if (!mkdtemp(templ.data())) return 1;
    build_world(templ);
    for (const char *lib : {testsupport::kPamWrapperLib, testsupport::kNssWrapperLib})
      preload += (preload.empty() ? "" : " ") + std::string(lib);
    setenv("PAM_LIB_PAMENV_DIR", templ.c_str(), 1);
    setenv("LD_PRELOAD", preload.c_str(), 1);
    setenv("PAM_WRAPPER", "1", 1);
    setenv("PAM_WRAPPER_SERVICE_DIR", (templ + "/services").c_str(), 1);
    // Deep binding does not mix with the sanitizers' interceptors.
    setenv("PAM_WRAPPER_DISABLE_DEEPBIND", "1", 1);
    setenv("NSS_WRAPPER_DISABLE_DEEPBIND", "1", 1);
    setenv("NSS_WRAPPER_PASSWD", (templ + "/passwd").c_str(), 1);
    setenv("NSS_WRAPPER_GROUP", (templ + "/group").c_str(), 1);
    execv("/proc/self/exe", argv);
    return 1;
  }
  ::testing::InitGoogleTest(&argc, argv);
  int rc = RUN_ALL_TESTS();
  std::error_code ec;
  if (dir) std::filesystem::remove_all(dir, ec);
  return rc;
}
