// mgtsh: an example management shell on top of libpam_lib.so. It shows what
// a front-end does: connect to mgtd, install the five hooks, log the user in
// through PAM with an idle session, and drive the data model through the
// remote calls.
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <pam_lib.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "escape.hpp"
#include "hooks.hpp"
#include "session.hpp"
#include "shell.hpp"
#include "terminal.hpp"

namespace {

enum ExitCode { kOk = 0, kFailed = 1, kUsage = 2, kNoDaemon = 3, kNoLogin = 4 };

// Level of the daemon's administrators: what --no-login claims by default.
constexpr int kAdminLevel = 3;

const char kUsageText[] =
    "Usage: mgtsh [OPTION]...\n"
    "An example management shell for the mgtd daemon, built on libpam_lib.\n"
    "\n"
    "  -c, --command LINE   run LINE and exit (repeatable); without -c, commands\n"
    "                       come from the terminal or, in a script, standard input\n"
    "  -s, --socket PATH    connect to mgtd's socket at PATH (development; by default\n"
    "                       client_Init tries /tmp/mgtd1, then /tmp/mgtd)\n"
    "  -t, --tcp ADDR       connect to TCP port 10002 of the IPv4 address ADDR\n"
    "      --timeout MS     TCP connect and exchange time-out (default 10000)\n"
    "  -u, --user NAME      log in as NAME (else asked for)\n"
    "      --password-fd N  read the password from descriptor N (else asked for)\n"
    "      --idle MINUTES   idle time-out of the session (default 15; -1: none)\n"
    "      --no-login       skip PAM (development): requests claim --privilege\n"
    "      --privilege N    privilege level with --no-login (default 3, admin)\n"
    "  -y, --yes            answer yes to confirmation questions\n"
    "  -x, --echo           print each command with the prompt before running it\n"
    "      --no-pager       never page the daemon's printed output\n"
    "      --keep-xml       leave the last XML result file on disk\n"
    "  -d, --debug          connection and exchange traces on standard error\n"
    "  -h, --help           this text\n"
    "\n"
    "The pager is $MGTSH_PAGER, else $PAGER, else \"less -FRX\"; it is used only\n"
    "when standard output is a terminal.\n"
    "Exit status: 0 success, 1 a command failed, 2 usage error, 3 mgtd cannot be\n"
    "reached, 4 login failed, 5 the session expired.\n";

struct Options {
  std::vector<std::string> commands;
  mgtsh::Endpoint endpoint;
  mgtsh::LoginOptions login;
  mgtsh::ShellOptions shell;
  bool no_login = false;
  int privilege = kAdminLevel;
  bool no_pager = false;
  bool debug = false;
};

bool parse_int(const char *text, int &out) {
  char *end = nullptr;
  errno = 0;
  long v = std::strtol(text, &end, 10);
  if (errno || !*text || *end || v < INT32_MIN || v > INT32_MAX) return false;
  out = static_cast<int>(v);
  return true;
}

int parse_options(int argc, char **argv, Options &o) {
  enum { kTimeout = 256, kPasswordFd, kIdle, kNoLogin, kPrivilege, kNoPager, kKeepXml };
  static const option longs[] = {
      {"command", required_argument, nullptr, 'c'}, {"socket", required_argument, nullptr, 's'},
      {"tcp", required_argument, nullptr, 't'},     {"timeout", required_argument, nullptr, kTimeout},
      {"user", required_argument, nullptr, 'u'},    {"password-fd", required_argument, nullptr, kPasswordFd},
      {"idle", required_argument, nullptr, kIdle},  {"no-login", no_argument, nullptr, kNoLogin},
      {"privilege", required_argument, nullptr, kPrivilege},
      {"yes", no_argument, nullptr, 'y'},           {"echo", no_argument, nullptr, 'x'},
      {"no-pager", no_argument, nullptr, kNoPager}, {"keep-xml", no_argument, nullptr, kKeepXml},
      {"debug", no_argument, nullptr, 'd'},         {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0},
  };
  int c;
  while ((c = getopt_long(argc, argv, "c:s:t:u:yxdh", longs, nullptr)) != -1) {
    int n = 0;
    switch (c) {
      case 'c': o.commands.emplace_back(optarg); break;
      case 's':
        o.endpoint.kind = mgtsh::Endpoint::Local;
        o.endpoint.address = optarg;
        break;
      case 't':
        o.endpoint.kind = mgtsh::Endpoint::Tcp;
        o.endpoint.address = optarg;
        break;
      case kTimeout:
        if (!parse_int(optarg, n) || n < 0) return std::fprintf(stderr, "mgtsh: bad --timeout %s\n", optarg), kUsage;
        o.endpoint.timeout_ms = n;
        break;
      case 'u': o.login.user = optarg; break;
      case kPasswordFd:
        if (!parse_int(optarg, n) || n < 0) return std::fprintf(stderr, "mgtsh: bad --password-fd %s\n", optarg), kUsage;
        o.login.password_fd = n;
        break;
      case kIdle:
        if (!parse_int(optarg, n) || n < -1) return std::fprintf(stderr, "mgtsh: bad --idle %s\n", optarg), kUsage;
        o.login.idle_minutes = n;
        break;
      case kNoLogin: o.no_login = true; break;
      case kPrivilege:
        if (!parse_int(optarg, n)) return std::fprintf(stderr, "mgtsh: bad --privilege %s\n", optarg), kUsage;
        o.privilege = n;
        break;
      case 'y': o.shell.assume_yes = true; break;
      case 'x': o.shell.echo = true; break;
      case kNoPager: o.no_pager = true; break;
      case kKeepXml: o.shell.keep_xml = true; break;
      case 'd': o.debug = true; break;
      case 'h': std::fputs(kUsageText, stdout); std::exit(kOk);
      default: std::fputs("Try 'mgtsh --help'.\n", stderr); return kUsage;
    }
  }
  if (optind < argc) {
    std::fprintf(stderr, "mgtsh: unexpected argument %s\nTry 'mgtsh --help'.\n", argv[optind]);
    return kUsage;
  }
  return kOk;
}

std::string pager_command(bool no_pager) {
  if (no_pager || !isatty(STDOUT_FILENO)) return {};
  for (const char *var : {"MGTSH_PAGER", "PAGER"})
    if (const char *p = std::getenv(var)) return p;  // an empty one means none
  return "less -FRX";
}

// The library writes XML results under /mnt/temp and expects the directory
// to exist; on a development machine it usually does not. It is made 0755:
// a directory everyone can write would let other users plant files at the
// predictable XML names.
void ensure_xml_dir() {
  struct stat st {};
  if (stat("/mnt/temp", &st) == 0) return;
  mkdir("/mnt", 0755);
  if (mkdir("/mnt/temp", 0755) != 0 && errno != EEXIST)
    std::fprintf(stderr, "mgtsh: cannot create /mnt/temp (%s): XML results will be lost\n",
                 std::strerror(errno));
}

}  // namespace

int main(int argc, char **argv) {
  Options o;
  if (int r = parse_options(argc, argv, o); r != kOk) return r;

  // A pager that quits early or a daemon that goes away must not kill the
  // shell. The signal is blocked rather than ignored: system_unmasked
  // unblocks it for the commands the daemon runs, while an ignored signal
  // would stay ignored in them.
  sigset_t pipe_set;
  sigemptyset(&pipe_set);
  sigaddset(&pipe_set, SIGPIPE);
  sigprocmask(SIG_BLOCK, &pipe_set, nullptr);

  bool tty = isatty(STDIN_FILENO);
  mgtsh::LineInput input(tty, o.commands.empty());
  ensure_xml_dir();

  int sock = mgtsh::connect_daemon(o.endpoint);
  if (sock < 0) {
    const char *where = o.endpoint.kind == mgtsh::Endpoint::Default ? "/tmp/mgtd1 or /tmp/mgtd"
                                                                     : o.endpoint.address.c_str();
    std::fprintf(stderr, "mgtsh: cannot connect to mgtd at %s: %s\n", where, std::strerror(errno));
    return kNoDaemon;
  }
  set_socket(sock);
  set_client_id(static_cast<int>(getpid()));

  mgtsh::HookSettings hooks;
  hooks.input = &input;
  hooks.endpoint = o.endpoint;
  hooks.pager = pager_command(o.no_pager);
  hooks.debug = o.debug;
  mgtsh::install_hooks(hooks);

  int status = kOk;
  {
    mgtsh::Session session;
    if (o.no_login) {
      set_privelege(o.privilege);
    } else if (!session.login(o.login, input)) {
      close(get_socket());
      return kNoLogin;
    }

    mgtsh::Shell shell(input, session, o.shell);
    if (!shell.start()) {
      close(get_socket());
      return kNoDaemon;
    }
    if (input.interactive()) {
      std::printf("Connected to mgtd%s. Type help for the commands, exit to leave.\n",
                  session.active() ? (" as " + mgtsh::shown(session.user())).c_str() : " (no login)");
    }
    if (o.commands.empty()) {
      status = shell.loop();
    } else {
      for (const auto &line : o.commands) {
        if (!shell.execute(line)) {
          status = kFailed;
          break;
        }
        if (shell.done()) break;
      }
      if (shell.expired()) status = mgtsh::Shell::kExpired;
    }
    shell.cleanup();
    session.end();
  }
  if (get_socket() >= 0) close(get_socket());
  return status;
}
