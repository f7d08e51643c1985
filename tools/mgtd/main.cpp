// mgtd: reference management daemon for pam_lib clients.
#include <fcntl.h>
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
               "            [--tcp [ADDR:]PORT] [--security-log FILE] [--state FILE]\n"
               "            [--foreground]\n"
               "Serves the management data model in FILE (default: the example model)\n"
               "on PATH (default /tmp/mgtd1). SIGTERM stops it, SIGUSR1 queues a trap.\n");
}

std::string absolute(const std::string &p) {
  if (p.empty() || p[0] == '/') return p;
  char cwd[PATH_MAX];
  if (!::getcwd(cwd, sizeof cwd)) return p;
  return std::string(cwd) + "/" + p;
}

std::string default_model() {
  for (const char *p : {MGTD_INSTALLED_MODEL, MGTD_SOURCE_MODEL})
    if (::access(p, R_OK) == 0) return p;
  return MGTD_INSTALLED_MODEL;
}

}  // namespace

int main(int argc, char **argv) {
  std::string model_path, socket_path = "/tmp/mgtd1", legacy_path, tcp, log_path, state_path;
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
    else if (a == "--tcp") value(tcp);
    else if (a == "--security-log") value(log_path);
    else if (a == "--state") value(state_path);
    else if (a == "--foreground") foreground = true;
    else if (a == "--help" || a == "-h") { usage(stdout); return 0; }
    else { usage(stderr); return 2; }
  }
  if (model_path.empty()) model_path = default_model();

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

  static mgtd::Server server(state);  // outlives the connection threads
  if (!server.listen_unix(socket_path, error) ||
      (!legacy_path.empty() && !server.listen_unix(legacy_path, error))) {
    std::fprintf(stderr, "mgtd: %s\n", error.c_str());
    return 1;
  }
  int port = -1;
  if (!tcp.empty()) {
    std::string addr;
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
  server.run(g_signal_pipe[0]);
  syslog(LOG_NOTICE, "stopped");
  return 0;
}
