// mgtweb: the appliance's browser front-end on libpam_lib.so. It serves the
// page's files and a JSON API; each user logs in through PAM with a library
// session, and every request reaches mgtd through the one client context
// with that user's rights.
#include <arpa/inet.h>
#include <getopt.h>
#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <pam_lib.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "api.hpp"
#include "daemon_link.hpp"
#include "http.hpp"
#include "jobs.hpp"
#include "static_files.hpp"
#include "web_sessions.hpp"

namespace {

const char kUsageText[] =
    "Usage: mgtweb [OPTION]...\n"
    "The browser front-end of the mgtd daemon, built on libpam_lib.\n"
    "\n"
    "  --listen ADDR:PORT   IPv4 address and port to serve (default 127.0.0.1:8080;\n"
    "                       port 0 picks a free one)\n"
    "  --socket PATH        mgtd's socket (default /tmp/mgtd1)\n"
    "  --idle-minutes N     idle time-out of a login (default 15)\n"
    "  --cert FILE          PEM certificate: serve HTTPS (needs --key)\n"
    "  --key FILE           PEM private key of the certificate\n"
    "  --ui DIR             the page's files (default: beside the program)\n"
    "  --security-log FILE  the daemon's security log, shown to administrators\n"
    "  -h, --help           this text\n"
    "\n"
    "It prints \"mgtweb: listening on URL\" and \"mgtweb: ready\" once it serves;\n"
    "SIGTERM or SIGINT ends every session and stops it.\n";

struct Options {
  sockaddr_in addr{};
  std::string socket = "/tmp/mgtd1";
  int idle_minutes = 15;
  std::string cert, key, ui, security_log;
};

bool parse_listen(const std::string &text, sockaddr_in &addr) {
  auto colon = text.rfind(':');
  if (colon == std::string::npos) return false;
  std::string host = text.substr(0, colon), port = text.substr(colon + 1);
  char *end = nullptr;
  long p = std::strtol(port.c_str(), &end, 10);
  if (port.empty() || *end || p < 0 || p > 65535) return false;
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(p));
  return inet_pton(AF_INET, host.c_str(), &addr.sin_addr) == 1;
}

bool read_file(const std::string &path, std::string &out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream s;
  s << in.rdbuf();
  out = s.str();
  return true;
}

// The UI installed beside the program: share/pam_lib/mgtweb next to its
// sbin/, or ui/ beside it in the build tree.
std::string default_ui() {
  char self[PATH_MAX] = {};
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "ui";
  std::filesystem::path dir = std::filesystem::path(std::string(self, static_cast<std::size_t>(n))).parent_path();
  auto installed = dir.parent_path() / "share" / "pam_lib" / "mgtweb";
  if (std::filesystem::exists(installed / "index.html")) return installed;
  return dir / "ui";
}

int parse_options(int argc, char **argv, Options &o) {
  enum { kListen = 256, kSocket, kIdle, kCert, kKey, kUi, kLog };
  static const option longs[] = {{"listen", required_argument, nullptr, kListen},
                                 {"socket", required_argument, nullptr, kSocket},
                                 {"idle-minutes", required_argument, nullptr, kIdle},
                                 {"cert", required_argument, nullptr, kCert},
                                 {"key", required_argument, nullptr, kKey},
                                 {"ui", required_argument, nullptr, kUi},
                                 {"security-log", required_argument, nullptr, kLog},
                                 {"help", no_argument, nullptr, 'h'},
                                 {nullptr, 0, nullptr, 0}};
  parse_listen("127.0.0.1:8080", o.addr);
  for (int c; (c = getopt_long(argc, argv, "h", longs, nullptr)) != -1;) {
    switch (c) {
      case kListen:
        if (!parse_listen(optarg, o.addr)) {
          std::fprintf(stderr, "mgtweb: --listen wants an IPv4 ADDR:PORT, not \"%s\"\n", optarg);
          return 2;
        }
        break;
      case kSocket: o.socket = optarg; break;
      case kIdle: {
        char *end = nullptr;
        long v = std::strtol(optarg, &end, 10);
        if (!*optarg || *end || v < 1 || v > 24 * 60) {
          std::fprintf(stderr, "mgtweb: --idle-minutes wants 1 to 1440\n");
          return 2;
        }
        o.idle_minutes = static_cast<int>(v);
        break;
      }
      case kCert: o.cert = optarg; break;
      case kKey: o.key = optarg; break;
      case kUi: o.ui = optarg; break;
      case kLog: o.security_log = optarg; break;
      case 'h': std::fputs(kUsageText, stdout); return 1;
      default: std::fputs(kUsageText, stderr); return 2;
    }
  }
  if (optind < argc || o.cert.empty() != o.key.empty()) {
    std::fputs(kUsageText, stderr);
    return 2;
  }
  if (o.ui.empty()) o.ui = default_ui();
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  Options o;
  if (int r = parse_options(argc, argv, o); r != 0) return r == 1 ? 0 : r;

  // Signals are taken by the main thread only; SIGPIPE is blocked rather
  // than ignored so that commands run for the daemon get it back.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);

  mgtweb::StaticFiles files;
  if (!files.load(o.ui)) {
    std::fprintf(stderr, "mgtweb: no index.html in %s (use --ui DIR)\n", o.ui.c_str());
    return 1;
  }
  mgtweb::ServerOptions so;
  so.addr = o.addr;
  if (!o.cert.empty() && (!read_file(o.cert, so.cert_pem) || !read_file(o.key, so.key_pem))) {
    std::fprintf(stderr, "mgtweb: cannot read the certificate or the key\n");
    return 1;
  }
  mgtweb::ensure_xml_dir();
  if (PAM_session_init() != 0) {
    std::fprintf(stderr, "mgtweb: cannot start the session table\n");
    return 1;
  }
  mgtweb::link_init(o.socket);
  set_client_id(static_cast<int>(getpid()));

  mgtweb::Sessions sessions(o.idle_minutes, !o.cert.empty());
  mgtweb::Api api(sessions, files, o.security_log);
  mgtweb::Server server;
  if (!server.start(so, [&api](const mgtweb::Request &req) { return api.handle(req); })) return 1;
  char host[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &o.addr.sin_addr, host, sizeof host);
  std::printf("mgtweb: listening on %s://%s:%d/\nmgtweb: ready\n", o.cert.empty() ? "http" : "https", host,
              server.port());
  std::fflush(stdout);

  sigdelset(&set, SIGPIPE);
  int sig = 0;
  while (sigwait(&set, &sig) != 0) {
  }
  // Commands waiting for an answer give up first, so that their output
  // streams end and the server's connection threads can be joined.
  sessions.end_all();
  server.stop();
  if (get_socket() >= 0) close(get_socket());
  return 0;
}
