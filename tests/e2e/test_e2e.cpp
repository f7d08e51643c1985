// The library end to end against a live mgtd in a temporary directory, and the daemon
// against hostile peers: another uid (children as 65534: needs root), raw frames, links.
#include <gtest/gtest.h>
#include <grp.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <netinet/in.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <thread>

#include "pam_lib.h"
#include "pam_lib/context.hpp"
#include "pam_lib/exchange.hpp"
#include "pam_lib/transport.hpp"
#include "support/harness.hpp"
#include "support/mgtd_process.hpp"

namespace {

using testsupport::bind_unix;
using testsupport::connect_unix;
using testsupport::read_file;
constexpr int kNobody = 65534;
constexpr const char *kMtu = "system.network.eth0.mtu", *kHost = "system.hostname", *kLoc = "system.location";

struct {  // what the hooks saw; answers are handed out in order
  std::string printed;
  std::vector<std::string> prompts, answers, commands;
} g;
int print_hook(REPLY *f, FILE **) { return g.printed.append(f->data, f->hdr.chunk_len), 0; }
char *input_hook(const char *prompt, int secret) {
  g.prompts.push_back(prompt + std::string(secret ? "(secret)" : ""));
  char *a = g.answers.empty() ? nullptr : strdup(g.answers.front().c_str());
  return g.answers.erase(g.answers.begin(), g.answers.begin() + (a != nullptr)), a;
}
int run_hook(const char *cmd) { return g.commands.emplace_back(cmd), 0; }

// Makes a new connection to path the library's, claiming level in its headers.
bool use(const std::string &path, int level) {
  if (get_socket() >= 0) close(get_socket());
  int fd = pl::client_open_sock(path.c_str());
  set_socket(fd);
  set_privelege(level);
  set_print_out(print_hook);
  return fd >= 0;
}

bool hung_up(int fd, int ms = 10000) {  // within ms
  pollfd p{fd, POLLIN, 0};
  char b;
  return poll(&p, 1, ms) == 1 && recv(fd, &b, 1, 0) == 0;
}

// Runs fn in a child as uid and gid 65534; its result is the exit code.
int as_nobody(const std::function<int()> &fn) {
  pid_t pid = fork();
  if (pid == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(250);
    pl::testing::reset_client_context();
    _exit(fn());
  }
  int st = 0;
  return pid > 0 && waitpid(pid, &st, 0) == pid && WIFEXITED(st) ? WEXITSTATUS(st) : 252;
}

#define NEED_ROOT() \
  if (geteuid() != 0) GTEST_SKIP() << "needs root: peers of another uid (65534) and files of another owner"

struct EndToEnd : ::testing::Test {
  void SetUp() override {
    pl::testing::reset_client_context();
    g = {};
    chmod(tmp.path().c_str(), 0711);  // uid 65534 may reach the socket
    testsupport::write_file(model, read_file(testsupport::example_model()) +
                                       "\ncommand show-system\n  print \"location={param:system.location} "
                                       "trace={param:system.network.debug.trace} arg={arg}\\n\"\n  print-end\n");
    mode_t old = umask(0);  // the socket's mode must not come from it
    start({});
    umask(old);
    pl::testing::set_xml_base(xml_base.c_str());  // the seam keeps the pointer
    set_uid(1000);
    set_get_input_func(input_hook);
    set_run_cmd_function(run_hook);
  }
  void start(std::vector<std::string> extra) {
    d.reset();
    extra.insert(extra.end(), {"--model", model, "--socket-group", std::to_string(kNobody)});
    d = std::make_unique<testsupport::MgtdProcess>(std::getenv("MGTD_BIN"), tmp.path(), extra);
    ASSERT_TRUE(d->ready() && use(d->socket(), 3)) << d->output();
  }
  void TearDown() override {
    if (get_socket() >= 0) close(get_socket());
    pl::testing::reset_client_context();
    pl::testing::set_xml_base("/mnt/temp/xml");
  }
  testsupport::TempDir tmp;
  std::string xml_base = tmp.file("xml"), model = tmp.file("test.model");
  std::unique_ptr<testsupport::MgtdProcess> d;
};

TEST_F(EndToEnd, SetsValuesAndRunsCommandsWithinTheirRights) {
  struct Row {
    const char *name, *value;
    int err;             // 0: accepted
    const char *stored;  // read back afterwards ("" when not readable)
  } rows[] = {
      {kMtu, "1280", 0, "1280"},       {kMtu, "9001", 4, "1280"},
      {kMtu, "12x", 5, "1280"},        {"system.network.eth0.speed", "1G", 0, "1G"},
      {kHost, "", 4, "appliance-01"},  {"system.uptime", "5", 9, ""},
      {"system.services.snmp.community", "s3cret", 0, ""},
  };
  char buf[64] = "";
  for (const Row &r : rows) {
    EXPECT_EQ(DM_SetParam(r.name, 0, r.value, 0), r.err ? -1 : 0) << r.name << "=" << r.value;
    EXPECT_TRUE(!r.err || get_err() == r.err) << r.name << "=" << r.value << ": " << get_err();
    EXPECT_TRUE(!*r.stored || (!DM_GetParam(r.name, sizeof buf, buf, 0) && !strcmp(buf, r.stored))) << r.name;
  }
  EXPECT_TRUE(DM_GetParam("system.services.snmp.community", sizeof buf, buf, 0) == -1 && get_err() == 10);
  set_privelege(1);
  EXPECT_TRUE(DM_SetParam(kHost, 0, "mine", 0) == -1 && get_err() == 3 && DM_CanSet(3, kHost) == 0);
  set_privelege(3);
  EXPECT_TRUE(!DM_SetPrivilege(1) && DM_SetParam(kHost, 0, "mine", 0) == -1);  // lowers this connection's ceiling
  EXPECT_TRUE(!DM_SetPrivilege(3) && !DM_SetParam(kHost, 0, "mine", 0));

  EXPECT_EQ(CMD_ExecCommand(-1, "export-config", ""), 0);
  std::string xml = read_file(GetXMLFileName());
  EXPECT_TRUE(xml.size() > 4096 && xml.find("<model host=\"appliance-01\">") != std::string::npos);
  EXPECT_EQ(xml.find("changeme"), std::string::npos);  // write-only values stay inside
  g.answers = {"10.0.0.1", "n3w-passw0rd", "no", "yes", "yes"};
  EXPECT_TRUE(!CMD_ExecCommand(-1, "ping", "") && g.printed.find("PING 10.0.0.1") != std::string::npos);
  EXPECT_EQ(CMD_ExecCommand(-1, "set-root-password", ""), 0);
  EXPECT_EQ(g.prompts, (std::vector<std::string>{"Host to ping: ", "New password: (secret)"}));
  EXPECT_TRUE(CMD_ExecCommand(-1, "reboot", "") == -1 && get_err() == 23 && g.commands.empty());
  EXPECT_EQ(CMD_ExecCommand(-1, "reboot", ""), 0);
  EXPECT_EQ(g.commands, std::vector<std::string>{"logger -t mgtd-example restart-requested"});
  // The kernel's word on the peer first, then what the client claims.
  EXPECT_TRUE(!DM_SetClientIp("192.0.2.7") && !DM_SecurityLogLine("line one\nforged line"));
  std::string log = read_file(d->security_log()), peer = "unix uid=" + std::to_string(getuid()) + " pid=";
  EXPECT_NE(log.find(peer + std::to_string(getpid()) + " claimed uid=1000 ip=192.0.2.7: line one?forged line\n"), std::string::npos);
  EXPECT_TRUE(log.find("set system.services.snmp.community=(not shown)") != std::string::npos &&
              log.find("s3cret") == std::string::npos && log.find("set system.hostname=mine") != std::string::npos) << log;
}

TEST_F(EndToEnd, HostileFramesAndIdlePeersAffectNobodyElse) {
  NEED_ROOT();
  start({"--frame-timeout-ms", "200", "--idle-timeout-ms", "300"});
  auto frame = [](uint32_t total, int32_t items, int32_t opcode) {
    MSG_HDR h{};
    h.hdr_len = 56, h.magic = MSG_MAGIC, h.total_len = total, h.item_count = items, h.opcode = opcode;
    std::string f(total > 4096 ? 56 : total, '\0');
    return std::memcpy(f.data(), &h, sizeof h), f;
  };
  const std::tuple<std::string, bool, bool> rows[] = {  // bytes, answered, hung up
      {frame(64, 3, 7), true, false},                   // more items than the bytes hold
      {frame(56, 0, 99), true, false},                  // unknown, but well formed
      {std::string(56, 'g'), true, true},               // garbage: out of step
      {frame(1 << 20, 0, 7), true, true},               // oversize
      {std::string("\0\0\0\x38\0\0", 6), false, true},  // a header that never completes
  };
  for (const auto &[bytes, answered, hangs_up] : rows) {
    int fd = connect_unix(d->socket());
    REPLY_HDR h{};
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    EXPECT_TRUE(!answered || (recv(fd, &h, sizeof h, MSG_WAITALL) == 48 && h.type == REPLY_RESULT && h.status));
    EXPECT_EQ(hung_up(fd, hangs_up ? 10000 : 100), hangs_up) << bytes.size();
    close(fd);
  }
  EXPECT_EQ(as_nobody([&] { return hung_up(connect_unix(d->socket())) ? 0 : 1; }), 0) << "an idle peer was kept";
}

TEST_F(EndToEnd, RightsComeFromThePeersCredentialsNotItsClaims) {
  NEED_ROOT();
  int failed = as_nobody([&] {  // claims administrator in every header
    char buf[64];
    bool ok[] = {use(d->socket(), 3), DM_GetParam(kHost, sizeof buf, buf, 0) == 0,  // anonymous rights stay
                 DM_SetParam(kHost, 0, "owned", 0) == -1 && get_err() == 3,
                 DM_GetParam("system.network.debug.trace", sizeof buf, buf, 0) == -1 && get_err() == 3,
                 DM_SetUserCred("nobody", 4, "\3\0\0\0") == -1 && get_err() == 3,
                 DM_GetUserCred("admin", sizeof buf, buf) == -1 && DM_LoginUser("admin") == -1 && get_err() == 3,
                 DM_SecurityLogLine("forged") == -1 && get_err() == 3,
                 CMD_ExecCommand(-1, "reboot", "") == -1 && get_err() == 11,
                 CMD_ExecCommand(-1, "show-system", "") == 0 && g.printed.find("trace=? ") != std::string::npos};
    return int(std::find(std::begin(ok), std::end(ok), false) - std::begin(ok) + 1) % int(std::size(ok) + 1);
  });
  EXPECT_EQ(failed, 0) << "check " << failed << " failed for uid 65534";
  ASSERT_EQ(DM_SetParam(kLoc, 0, "{param:system.location}", 0), 0);  // values go into a template literally
  EXPECT_EQ(CMD_ExecCommand(-1, "show-system", "{param:system.network.debug.trace}"), 0);
  EXPECT_NE(g.printed.find("location={param:system.location} trace=0 arg={param:system.network.debug.trace}\n"),
            std::string::npos) << g.printed;
}

TEST_F(EndToEnd, LinksPlantedAtItsFilesLeaveTheirTargetsAlone) {
  NEED_ROOT();
  std::string victim = tmp.file("victim"), state = tmp.file("state"), log = tmp.file("security.log");
  testsupport::write_file(victim, "precious\n");
  struct stat st{};
  EXPECT_TRUE(!lstat(d->socket().c_str(), &st) && (st.st_mode & 07777) == 0660 && st.st_gid == gid_t(kNobody));
  d->stop();  // a dead socket of another owner is replaced
  close(bind_unix(d->socket()));
  ASSERT_EQ(lchown(d->socket().c_str(), kNobody, kNobody) + 0 * unlink(log.c_str()), 0);
  ASSERT_TRUE(!symlink(victim.c_str(), log.c_str()) && !symlink(victim.c_str(), (state + ".tmp").c_str()));
  start({"--state", state});
  EXPECT_TRUE(!lstat(d->socket().c_str(), &st) && st.st_uid == geteuid());
  EXPECT_FALSE(testsupport::MgtdProcess(std::getenv("MGTD_BIN"), tmp.path()).ready());  // one daemon per socket
  EXPECT_EQ(DM_SetParam(kLoc, 0, "moved", 0), 0);
  EXPECT_TRUE(DM_SecurityLogLine("into the link?") == -1 && get_err() == 18);  // security log unavailable
  ASSERT_TRUE(!symlink(victim.c_str(), (state + ".new").c_str()) && !rename((state + ".new").c_str(), state.c_str()));
  EXPECT_EQ(DM_SetParam("system.contact", 0, "me", 0), 0);
  EXPECT_TRUE(read_file(victim) == "precious\n" && !lstat(state.c_str(), &st) && S_ISREG(st.st_mode) &&
              (st.st_mode & 07777) == 0600);
  EXPECT_NE(read_file(state).find("system.contact \"me\""), std::string::npos);
}

TEST_F(EndToEnd, TcpListensOnLoopbackAndAPeerIsAnonymousUntilItAuthenticates) {
  start({"--tcp", "0"});
  char want[8], buf[64];
  std::snprintf(want, sizeof want, ":%04X", d->tcp_port());
  std::ifstream in("/proc/net/tcp");  // slot local remote state: every listener on the port is 127.0.0.1's
  int listeners = 0, elsewhere = 0;
  for (std::string slot, local, remote, state, rest; in >> slot >> local >> remote >> state && std::getline(in, rest);)
    if (state == "0A" && local.ends_with(want)) ++(local.starts_with("0100007F") ? listeners : elsewhere);
  EXPECT_TRUE(listeners == 1 && elsewhere == 0) << d->output();
  auto tcp = [&] {
    sockaddr_in a{AF_INET, htons(uint16_t(d->tcp_port())), {htonl(INADDR_LOOPBACK)}, {}};
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    return connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 ? fd : (close(fd), -1);
  };
  int other = tcp(), level = 0, uid = 0;
  close(get_socket());
  set_socket(tcp());
  EXPECT_TRUE(DM_SetParam(kLoc, 0, "rack 4", 0) == -1 && get_err() == 3);
  EXPECT_EQ(DM_GetParam("system.network.debug.trace", sizeof buf, buf, 0), -1);
  EXPECT_TRUE(DM_AuthUser("operator", "wrong", &level, &uid) == -1 && DM_SetParam(kLoc, 0, "rack 4", 0) == -1);
  ASSERT_EQ(DM_AuthUser("operator", "operator", &level, &uid), 0);
  EXPECT_EQ(DM_SetParam(kLoc, 0, "rack 4", 0), 0);  // an operator's right, not an administrator's
  EXPECT_TRUE(DM_SetParam(kHost, 0, "x", 0) == -1 && DM_GetUserCred("admin", sizeof buf, buf) == -1);
  ASSERT_EQ(DM_AuthUser("monitor", "monitor", &level, &uid), 0);  // the latest user decides
  EXPECT_EQ(DM_SetParam(kLoc, 0, "rack 6", 0), -1);
  close(get_socket());
  set_socket(other);  // the rise belonged to that connection only
  EXPECT_EQ(DM_SetParam(kLoc, 0, "rack 5", 0), -1);
  EXPECT_NE(read_file(d->security_log()).find(" auth=operator claimed uid=1000: set system.location"), std::string::npos);
}

TEST_F(EndToEnd, KillDuringABurstOfSetsLeavesALoadableStateFile) {
  for (unsigned seed = 1; seed <= 4; ++seed) {
    std::mt19937 rng(seed);
    int acked = 1500, in_flight = 1500;  // the default until a set is answered
    start({"--state", tmp.file("state" + std::to_string(seed))});
    std::thread killer([&, delay = std::chrono::microseconds(1000 + rng() % 30000)] {
      std::this_thread::sleep_for(delay);
      kill(d->pid(), SIGKILL);
    });
    for (; DM_IntSet(kMtu, in_flight = 576 + int(rng() % 8000), 0) == 0;) acked = in_flight;
    killer.join();
    start({"--state", tmp.file("state" + std::to_string(seed))});  // also replaces the dead socket
    int v = 0;
    EXPECT_TRUE(!DM_IntGet(kMtu, &v, 0) && (v == acked || v == in_flight)) << "seed " << seed << ": " << v;
  }
}

TEST_F(EndToEnd, IdleConnectionsOfOneUidLeaveRoomForRootAndSigtermStopsAtAPrompt) {
  NEED_ROOT();
  int ready[2], go[2];
  ASSERT_TRUE(!pipe(ready) && !pipe(go));
  pid_t child = fork();
  if (child == 0) {  // 200 connections as uid 65534, held until told to go
    if (setgroups(0, nullptr) || setgid(kNobody) || setuid(kNobody)) _exit(1);
    for (int i = 0; i < 200; ++i) connect_unix(d->socket());
    char c = 'r';
    _exit(write(ready[1], &c, 1) == 1 && read(go[0], &c, 1) == 1 ? 0 : 1);
  }
  char c, buf[64];
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  EXPECT_TRUE(use(d->socket(), 3) && DM_GetParam(kHost, sizeof buf, buf, 0) == 0);
  EXPECT_EQ(write(go[1], "g", 1), 1);
  int st = 0;
  waitpid(child, &st, 0);
  for (int fd : {ready[0], ready[1], go[0], go[1]}) close(fd);
  // While a command waits for its client, SIGTERM ends the daemon within a second.
  static testsupport::MgtdProcess *daemon;
  static int status;
  static std::chrono::steady_clock::duration took;
  daemon = d.get();
  set_get_input_func([](const char *, int) {
    auto t0 = std::chrono::steady_clock::now();
    status = daemon->stop(), took = std::chrono::steady_clock::now() - t0;
    return strdup("late");
  });
  EXPECT_EQ(CMD_ExecCommand(-1, "ping", ""), -1);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0 && took < std::chrono::seconds(1)) << status;
}

}  // namespace
