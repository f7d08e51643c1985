// mgtd against hostile clients: one test per attack, each showing that its
// effect is gone. Unprivileged peers are forked children running as uid and
// gid 65534; those tests need root and skip without it.
#include <gtest/gtest.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "pam_lib.h"
#include "pam_lib/context.hpp"
#include "pam_lib/transport.hpp"
#include "support/harness.hpp"
#include "support/mgtd_process.hpp"

namespace {

using testsupport::read_file;
using testsupport::write_file;
using Clock = std::chrono::steady_clock;

constexpr int kNobody = 65534;
constexpr const char *kMtu = "system.network.eth0.mtu";

// The example model plus a command whose template shows values by name.
const char *kShowCommand =
    "\ncommand show-system\n"
    "  print \"location={param:system.location} trace={param:system.network.debug.trace} "
    "arg={arg}\\n\"\n"
    "  print-end\n";

class Daemon : public testsupport::MgtdProcess {
 public:
  explicit Daemon(const std::string &dir, std::vector<std::string> extra = {})
      : MgtdProcess(std::getenv("MGTD_BIN"), dir, std::move(extra)) {}
};

std::string g_printed;
int print_hook(REPLY *frame, FILE **) {
  g_printed.append(frame->data, frame->hdr.chunk_len);
  return 0;
}

int unix_connect(const std::string &path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  std::strncpy(sa.sun_path, path.c_str(), sizeof sa.sun_path - 1);
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0) return fd;
  if (fd >= 0) close(fd);
  return -1;
}

int tcp_connect(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0) return fd;
  if (fd >= 0) close(fd);
  return -1;
}

// Makes fd the library's connection, claiming a level in every header. A
// receive time-out keeps a daemon that does not answer from hanging the test.
void use(int fd, int claimed_level) {
  timeval tv{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  set_socket(fd);
  set_privelege(claimed_level);
  set_uid(0);
  set_print_out(print_hook);
}

// Numbered checks for a child process: the exit code names the first that
// failed (0: all held).
struct Checks {
  int n = 0, failed = 0;
  void operator()(bool ok) {
    ++n;
    if (!ok && !failed) failed = n;
  }
};

// Runs fn in a child as uid and gid 65534; its result is the exit code.
int as_nobody(const std::function<int()> &fn) {
  pid_t pid = fork();
  if (pid == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(250);
    pl::testing::reset_client_context();
    _exit(fn());
  }
  int st = 0;
  if (pid < 0 || waitpid(pid, &st, 0) != pid) return 251;
  return WIFEXITED(st) ? WEXITSTATUS(st) : 252;
}

class Hostile : public ::testing::Test {
 protected:
  void SetUp() override {
    pl::testing::reset_client_context();
    g_printed.clear();
  }
  void TearDown() override {
    if (get_socket() >= 0) close(get_socket());
    pl::testing::reset_client_context();
  }
  // A model file with the show-system command, in the test's directory.
  std::string model() {
    std::string m = tmp_.file("test.model");
    write_file(m, read_file(testsupport::example_model()) + kShowCommand);
    return m;
  }
  // Lets uid 65534 reach the socket: the directory searchable, the socket in
  // group 65534.
  std::vector<std::string> open_to_nobody() {
    chmod(tmp_.path().c_str(), 0711);
    return {"--model", model(), "--socket-group", std::to_string(kNobody)};
  }
  testsupport::TempDir tmp_;
};

#define NEED_ROOT() \
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run a peer as uid 65534"

TEST_F(Hostile, AnUnprivilegedPeerClaimingAdministratorActsAnonymously) {
  NEED_ROOT();
  Daemon d(tmp_.path(), open_to_nobody());
  ASSERT_TRUE(d.ready()) << d.output();
  int failed = as_nobody([&] {
    Checks c;
    int fd = pl::client_open_sock(d.socket().c_str());
    if (fd < 0) return 200;
    use(fd, 3);
    char buf[64];
    unsigned char cred[16];
    c(DM_GetParam("system.hostname", sizeof buf, buf, 0) == 0);  // anonymous rights stay
    c(DM_SetParam("system.hostname", 0, "owned", 0) == -1 && get_err() == 3);
    c(DM_GetParam("system.network.debug.trace", sizeof buf, buf, 0) == -1 && get_err() == 3);
    c(DM_SetUserCred("nobody", 4, "\3\0\0\0") == -1 && get_err() == 3);
    c(DM_GetUserCred("admin", sizeof cred, cred) == -1 && get_err() == 3);
    c(DM_LoginUser("admin") == -1 && get_err() == 3);
    c(DM_SecurityLogLine("forged") == -1 && get_err() == 3);
    c(CMD_ExecCommand(-1, "reboot", "") == -1 && get_err() == 11);
    c(CMD_ExecCommand(-1, "show-system", "") == 0 && g_printed.find("trace=? ") != std::string::npos);
    return c.failed;
  });
  EXPECT_EQ(failed, 0) << "check " << failed << " failed for uid 65534";

  use(pl::client_open_sock(d.socket().c_str()), 3);  // root still may
  char buf[64];
  EXPECT_EQ(DM_SetParam("system.hostname", 0, "mine", 0), 0);
  EXPECT_EQ(DM_GetParam("system.network.debug.trace", sizeof buf, buf, 0), 0);
  EXPECT_EQ(DM_SetUserCred("nobody", 4, "\3\0\0\0"), 0);
  EXPECT_EQ(CMD_IsCommand(-1, "reboot"), 1);
  EXPECT_EQ(CMD_ExecCommand(-1, "show-system", ""), 0);
  EXPECT_NE(g_printed.find("trace=0 "), std::string::npos) << g_printed;
}

// Whether the kernel's table lists port as listening on 127.0.0.1 only.
bool listens_on_loopback_only(int port) {
  std::ifstream in("/proc/net/tcp");
  std::string line;
  char want[8];
  std::snprintf(want, sizeof want, ":%04X", port);
  int found = 0;
  while (std::getline(in, line)) {
    std::istringstream ss(line);
    std::string slot, local, remote, state;
    ss >> slot >> local >> remote >> state;
    if (state != "0A" || !local.ends_with(want)) continue;
    std::string addr = local.substr(0, 8);
    if (addr != "0100007F" && addr != "7F000001") return false;
    ++found;
  }
  return found > 0;
}

TEST_F(Hostile, TcpListensOnLoopbackAndAPeerIsAnonymousUntilItAuthenticates) {
  Daemon d(tmp_.path(), {"--tcp", "0"});
  ASSERT_GT(d.tcp_port(), 0) << d.output();
  EXPECT_TRUE(listens_on_loopback_only(d.tcp_port()));
  int other = tcp_connect(d.tcp_port());
  use(tcp_connect(d.tcp_port()), 3);
  char buf[64];
  int level = 0, uid = 0;
  EXPECT_EQ(DM_SetParam("system.location", 0, "rack 4", 0), -1);
  EXPECT_EQ(get_err(), 3);
  EXPECT_EQ(DM_GetParam("system.network.debug.trace", sizeof buf, buf, 0), -1);
  EXPECT_EQ(DM_AuthUser("operator", "wrong", &level, &uid), -1);
  EXPECT_EQ(DM_SetParam("system.location", 0, "rack 4", 0), -1);
  ASSERT_EQ(DM_AuthUser("operator", "operator", &level, &uid), 0);
  EXPECT_EQ(DM_SetParam("system.location", 0, "rack 4", 0), 0);  // an operator's right
  EXPECT_EQ(DM_SetParam("system.hostname", 0, "x", 0), -1);      // not an administrator's
  EXPECT_EQ(DM_GetUserCred("admin", sizeof buf, buf), -1);       // nor the login service's
  ASSERT_EQ(DM_AuthUser("monitor", "monitor", &level, &uid), 0);  // the latest user decides
  EXPECT_EQ(DM_SetParam("system.location", 0, "rack 6", 0), -1);
  set_socket(other);  // the rise belongs to that connection only
  EXPECT_EQ(DM_SetParam("system.location", 0, "rack 5", 0), -1);
  close(other);
  EXPECT_NE(read_file(d.security_log()).find(" auth=operator claimed uid=0: set system.location"),
            std::string::npos);
}

TEST_F(Hostile, TheSocketModeIgnoresTheUmaskAndOnlyAStaleSocketIsReplaced) {
  struct stat st{};
  mode_t old = umask(0);
  {
    Daemon d(tmp_.path());
    ASSERT_TRUE(d.ready()) << d.output();
    ASSERT_EQ(lstat(d.socket().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
  }
  {
    Daemon d(tmp_.path(), {"--socket-group", std::to_string(getegid())});
    ASSERT_TRUE(d.ready()) << d.output();
    ASSERT_EQ(lstat(d.socket().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0660u);
    EXPECT_EQ(st.st_gid, getegid());
  }
  umask(old);
  // A dead socket file, left by another owner when we are root, is replaced.
  std::string path = tmp_.file("mgtd.sock");
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  std::strncpy(sa.sun_path, path.c_str(), sizeof sa.sun_path - 1);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
  close(fd);
  if (geteuid() == 0) {
    ASSERT_EQ(lchown(path.c_str(), kNobody, kNobody), 0);
  }
  Daemon live(tmp_.path());
  ASSERT_TRUE(live.ready()) << live.output();
  ASSERT_EQ(lstat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, geteuid());
  Daemon second(tmp_.path());  // where a daemon answers, none other starts
  EXPECT_FALSE(second.ready());
  EXPECT_GE(unix_connect(path), 0);
}

TEST_F(Hostile, LinksPlantedAtTheLogAndTheStateFilesLeaveTheirTargetsAlone) {
  std::string victim = tmp_.file("victim"), state = tmp_.file("state");
  write_file(victim, "precious\n");
  ASSERT_EQ(symlink(victim.c_str(), tmp_.file("security.log").c_str()), 0);
  ASSERT_EQ(symlink(victim.c_str(), (state + ".tmp").c_str()), 0);  // the old temporary name
  Daemon d(tmp_.path(), {"--state", state});
  ASSERT_TRUE(d.ready()) << d.output();
  use(pl::client_open_sock(d.socket().c_str()), 3);
  EXPECT_EQ(DM_SetParam("system.location", 0, "moved", 0), 0);
  EXPECT_EQ(DM_SecurityLogLine("into the link?"), -1);
  EXPECT_EQ(get_err(), 18);  // security log unavailable
  ASSERT_EQ(symlink(victim.c_str(), (state + ".new").c_str()), 0);
  ASSERT_EQ(rename((state + ".new").c_str(), state.c_str()), 0);  // a link at the state file itself
  EXPECT_EQ(DM_SetParam("system.contact", 0, "me", 0), 0);
  EXPECT_EQ(read_file(victim), "precious\n");
  struct stat st{};
  ASSERT_EQ(lstat(state.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_NE(read_file(state).find("system.contact \"me\""), std::string::npos);
}

TEST_F(Hostile, KillDuringABurstOfSetsLeavesALoadableStateFile) {
  for (unsigned seed = 1; seed <= 4; ++seed) {
    testsupport::TempDir dir;
    std::mt19937 rng(seed);
    int acked = 1500, in_flight = 1500;  // the default until a set is answered
    {
      Daemon d(dir.path(), {"--state", dir.file("state")});
      ASSERT_TRUE(d.ready()) << d.output();
      use(pl::client_open_sock(d.socket().c_str()), 3);
      auto delay = std::chrono::microseconds(1000 + rng() % 30000);
      std::thread killer([&] {
        std::this_thread::sleep_for(delay);
        kill(d.pid(), SIGKILL);
      });
      for (;;) {
        in_flight = 576 + static_cast<int>(rng() % 8000);
        if (DM_IntSet(kMtu, in_flight, 0) != 0) break;
        acked = in_flight;
      }
      killer.join();
      close(get_socket());
    }
    Daemon again(dir.path(), {"--state", dir.file("state")});  // also replaces the dead socket
    ASSERT_TRUE(again.ready()) << "seed " << seed << ": " << again.output();
    use(pl::client_open_sock(again.socket().c_str()), 3);
    int v = 0;
    ASSERT_EQ(DM_IntGet(kMtu, &v, 0), 0);
    EXPECT_TRUE(v == acked || v == in_flight) << "seed " << seed << ": " << v;
    close(get_socket());
  }
}

testsupport::MgtdProcess *g_daemon = nullptr;
int g_stop_status = -1;
Clock::duration g_stop_time{};
char *stop_at_prompt(const char *, int) {
  auto t0 = Clock::now();
  g_stop_status = g_daemon->stop();
  g_stop_time = Clock::now() - t0;
  return strdup("late");
}

TEST_F(Hostile, TemplateValuesArePrintedLiterallyAndSigtermStillStops) {
  Daemon d(tmp_.path(), {"--model", model()});
  ASSERT_TRUE(d.ready()) << d.output();
  use(pl::client_open_sock(d.socket().c_str()), 3);
  const std::string loop = "{param:system.location}{param:system.location}";
  ASSERT_EQ(DM_SetParam("system.location", 0, loop.c_str(), 0), 0);
  ASSERT_EQ(CMD_ExecCommand(-1, "show-system", "{param:system.network.debug.trace}"), 0);
  EXPECT_NE(g_printed.find("location=" + loop + " trace=0 arg={param:system.network.debug.trace}\n"),
            std::string::npos) << g_printed;
  // While a command waits for its client, SIGTERM ends the daemon in time.
  g_daemon = &d;
  set_get_input_func(stop_at_prompt);
  EXPECT_EQ(CMD_ExecCommand(-1, "ping", ""), -1);
  EXPECT_TRUE(WIFEXITED(g_stop_status) && WEXITSTATUS(g_stop_status) == 0) << g_stop_status;
  EXPECT_LT(g_stop_time, std::chrono::seconds(1));
}

TEST_F(Hostile, IdleConnectionsOfOneUidLeaveRoomForRoot) {
  NEED_ROOT();
  Daemon d(tmp_.path(), open_to_nobody());
  ASSERT_TRUE(d.ready()) << d.output();
  int ready[2], go[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(go), 0);
  pid_t child = fork();
  if (child == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(1);
    std::vector<int> fds;
    for (int i = 0; i < 200; ++i) fds.push_back(unix_connect(d.socket()));
    char c = 'r';
    if (write(ready[1], &c, 1) != 1 || read(go[0], &c, 1) != 1) _exit(1);
    _exit(0);  // holds its connections until told to go
  }
  char c;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  use(pl::client_open_sock(d.socket().c_str()), 3);
  char buf[64];
  EXPECT_EQ(DM_GetParam("system.hostname", sizeof buf, buf, 0), 0);
  EXPECT_EQ(write(go[1], "g", 1), 1);
  int st = 0;
  waitpid(child, &st, 0);
  for (int fd : {ready[0], ready[1], go[0], go[1]}) close(fd);
}

// Whether the daemon hangs up on fd within 10 s.
bool hung_up(int fd) {
  pollfd p{fd, POLLIN, 0};
  char b;
  return poll(&p, 1, 10000) == 1 && recv(fd, &b, 1, 0) == 0;
}

TEST_F(Hostile, HalfSentHeadersAndIdleUnprivilegedPeersAreDropped) {
  std::vector<std::string> extra = {"--frame-timeout-ms", "200", "--idle-timeout-ms", "300"};
  if (geteuid() == 0) {
    auto open = open_to_nobody();
    extra.insert(extra.end(), open.begin(), open.end());
  }
  Daemon d(tmp_.path(), extra);
  ASSERT_TRUE(d.ready()) << d.output();
  use(pl::client_open_sock(d.socket().c_str()), 3);  // root, idle meanwhile, and kept
  int half = unix_connect(d.socket());
  ASSERT_EQ(write(half, "\0\0\0\x38\0\0", 6), 6);
  EXPECT_TRUE(hung_up(half));
  close(half);
  if (geteuid() == 0) {
    int kept = as_nobody([&] {
      int fd = unix_connect(d.socket());
      return fd >= 0 && hung_up(fd) ? 0 : 1;
    });
    EXPECT_EQ(kept, 0) << "an idle unprivileged peer was kept";
  }
  char buf[64];
  EXPECT_EQ(DM_GetParam("system.hostname", sizeof buf, buf, 0), 0);
}

}  // namespace
