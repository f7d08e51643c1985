// mgtd: reference management daemon for pam_lib clients.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "server.hpp"

namespace {

int g_signal_pipe[2] = {-1, -1};

void on_signal(int sig) {
  int saved = errno;
  char c = sig == SIGUSR1 ? 'u' : 'q';
  ssize_t r = ::write(g_signal_pipe[1], &c, 1);
  (void)r;
  errno = saved;
}

void usage(FILE *f) {
  std::fprintf(f,
               "usage: mgtd [--model FILE] [--socket PATH] [--legacy-socket PATH]\n"
               "            [--socket-group GROUP] [--tcp [ADDR:]PORT] [--security-log FILE]\n"
               "            [--state FILE] [--frame-timeout-ms N] [--idle-timeout-ms N]\n"
               "            [--foreground]\n"
               "Serves the management data model in FILE (default: the example model)\n"
               "on PATH (default /tmp/mgtd1), TCP on 127.0.0.1 unless ADDR is given.\n"
               "SIGTERM stops it, SIGUSR1 queues a trap.\n");
}

std::string absolute(const std::string &p) {
  if (p.empty() || p[0] == '/') return p;
  char cwd[PATH_MAX];
  if (!::getcwd(cwd, sizeof cwd)) return p;
  return std::string(cwd) + "/" + p;
}

// The example model installed beside the program (<prefix>/sbin/mgtd and
// <prefix>/share/pam_lib/example.model, wherever the prefix was moved), else
// the source tree's copy for a daemon run from its build tree.
std::string default_model() {
  char exe[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n > 0) {
    std::string dir(exe, static_cast<std::size_t>(n));
    dir.erase(dir.rfind('/') + 1);
    std::string installed = dir + "../share/pam_lib/example.model";
    if (::access(installed.c_str(), R_OK) == 0) return installed;
  }
  return MGTD_SOURCE_MODEL;
}

// A group name or number; -1 when there is none such.
long group_id(const std::string &g) {
  char *end = nullptr;
  long n = std::strtol(g.c_str(), &end, 10);
  if (!g.empty() && *end == '\0') return n >= 0 ? n : -1;
  std::vector<char> buf(16384);
  group gr{}, *res = nullptr;
  if (::getgrnam_r(g.c_str(), &gr, buf.data(), buf.size(), &res) != 0 || !res) return -1;
  return static_cast<long>(res->gr_gid);
}

int milliseconds(const std::string &v, const char *what) {
  char *end = nullptr;
  long n = std::strtol(v.c_str(), &end, 10);
  if (v.empty() || *end != '\0' || n < 1 || n > 86400000) {
    std::fprintf(stderr, "mgtd: %s takes milliseconds (1 to 86400000)\n", what);
    std::exit(2);
  }
  return static_cast<int>(n);
}

}  // namespace

int main(int argc, char **argv) {
  std::string model_path, socket_path = "/tmp/mgtd1", legacy_path, tcp, log_path, state_path,
      socket_group, frame_ms, idle_ms;
  bool foreground = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](std::string &dst) {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "mgtd: %s needs a value\n", a.c_str());
        std::exit(2);
      }
      dst = argv[++i];
    };
    if (a == "--model") value(model_path);
    else if (a == "--socket") value(socket_path);
    else if (a == "--legacy-socket") value(legacy_path);
    else if (a == "--socket-group") value(socket_group);
    else if (a == "--frame-timeout-ms") value(frame_ms);
    else if (a == "--idle-timeout-ms") value(idle_ms);
    else if (a == "--tcp") value(tcp);
    else if (a == "--security-log") value(log_path);
    else if (a == "--state") value(state_path);
    else if (a == "--foreground") foreground = true;
    else if (a == "--help" || a == "-h") { usage(stdout); return 0; }
    else { usage(stderr); return 2; }
  }
  if (model_path.empty()) model_path = default_model();
  mgtd::Limits limits;
  if (!frame_ms.empty()) limits.frame_timeout_ms = milliseconds(frame_ms, "--frame-timeout-ms");
  if (!idle_ms.empty()) limits.idle_timeout_ms = milliseconds(idle_ms, "--idle-timeout-ms");
  long group = -1;
  if (!socket_group.empty() && (group = group_id(socket_group)) < 0) {
    std::fprintf(stderr, "mgtd: no group %s\n", socket_group.c_str());
    return 2;
  }

  std::string error;
  auto model = mgtd::load_model(model_path, error);
  if (!model) {
    std::fprintf(stderr, "mgtd: %s\n", error.c_str());
    return 1;
  }
  if (log_path.empty()) log_path = model->security_log;
  static mgtd::State state(std::move(*model));
  state.set_security_log(absolute(log_path));
  state.set_state_file(absolute(state_path));
  if (!state.load_state(error)) {
    std::fprintf(stderr, "mgtd: %s\n", error.c_str());
    return 1;
  }

  openlog("mgtd", LOG_PID | (foreground ? LOG_PERROR : 0), LOG_DAEMON);
  if (::pipe2(g_signal_pipe, O_CLOEXEC) < 0) return 1;
  struct sigaction sa{};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGUSR1, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  static mgtd::Server server(state, limits);  // outlives the connection threads
  if (!server.listen_unix(socket_path, group, error) ||
      (!legacy_path.empty() && !server.listen_unix(legacy_path, group, error))) {
    std::fprintf(stderr, "mgtd: %s\n", error.c_str());
    return 1;
  }
  int port = -1;
  if (!tcp.empty()) {
    std::string addr = "127.0.0.1";  // other hosts only when asked for
    auto colon = tcp.rfind(':');
    if (colon != std::string::npos) addr = tcp.substr(0, colon);
    port = std::atoi(tcp.c_str() + (colon == std::string::npos ? 0 : colon + 1));
    if (!server.listen_tcp(addr, port, error)) {
      std::fprintf(stderr, "mgtd: %s\n", error.c_str());
      return 1;
    }
  }

  if (!foreground) {
    pid_t pid = ::fork();
    if (pid < 0) return 1;
    if (pid > 0) std::_Exit(0);
    ::setsid();
    int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null >= 0) {
      ::dup2(null, 0);
      ::dup2(null, 1);
      ::dup2(null, 2);
    }
    if (::chdir("/") < 0) return 1;
  } else {
    // Readiness lines: a supervisor or a test waits for them.
    std::printf("mgtd: listening on unix:%s\n", socket_path.c_str());
    if (!legacy_path.empty()) std::printf("mgtd: listening on unix:%s\n", legacy_path.c_str());
    if (port >= 0) std::printf("mgtd: listening on tcp:%d\n", port);
    std::printf("mgtd: ready\n");
    std::fflush(stdout);
  }
  syslog(LOG_NOTICE, "serving %s on %s", model_path.c_str(), socket_path.c_str());
  bool clean = server.run(g_signal_pipe[0]);
  syslog(LOG_NOTICE, "stopped");
  // A connection still busy must not see the state go away under it.
  if (!clean) std::_Exit(0);
  return 0;
}
