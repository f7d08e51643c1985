// The library end to end against a live mgtd serving the example model on a
// socket under a temporary directory.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "pam_lib.h"
#include "pam_lib/context.hpp"
#include "pam_lib/exchange.hpp"
#include "pam_lib/transport.hpp"
#include "support/harness.hpp"
#include "support/mgtd_process.hpp"

namespace {

using testsupport::read_file;

// The daemon under test (a wrapper running it under the emulator in a cross
// build).
class Daemon : public testsupport::MgtdProcess {
 public:
  explicit Daemon(const std::string &dir, std::vector<std::string> extra = {})
      : MgtdProcess(std::getenv("MGTD_BIN"), dir, std::move(extra)) {}
};

// What the hooks saw.
struct Seen {
  std::string printed;
  int print_calls = 0;
  std::vector<std::pair<std::string, int>> prompts;
  std::vector<std::string> answers;
  std::vector<std::string> commands;
} g_seen;

int print_hook(REPLY *frame, FILE **) {
  g_seen.printed.append(frame->data, frame->hdr.chunk_len);
  ++g_seen.print_calls;
  return 0;
}
char *input_hook(const char *prompt, int value) {
  g_seen.prompts.emplace_back(prompt, value);
  if (g_seen.answers.empty()) return nullptr;
  std::string a = g_seen.answers.front();
  g_seen.answers.erase(g_seen.answers.begin());
  return strdup(a.c_str());
}
int run_hook(const char *cmd) {
  g_seen.commands.emplace_back(cmd);
  return 0;
}

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    pl::testing::reset_client_context();
    g_seen = Seen{};
    d_ = std::make_unique<Daemon>(tmp_.path());
    ASSERT_NE(d_->output().find("ready"), std::string::npos) << d_->output();
    int fd = pl::client_open_sock(d_->socket().c_str());
    ASSERT_GE(fd, 0);
    set_socket(fd);
    set_privelege(3);
    set_uid(1000);
    xml_base_ = tmp_.file("xml");  // the seam keeps the pointer
    pl::testing::set_xml_base(xml_base_.c_str());
    set_print_out(print_hook);
    set_get_input_func(input_hook);
    set_run_cmd_function(run_hook);
  }
  void TearDown() override {
    if (get_socket() >= 0) close(get_socket());
    pl::testing::reset_client_context();
    pl::testing::set_xml_base("/mnt/temp/xml");
  }
  std::string err_text(int code) {
    char t[128] = "";
    EXPECT_EQ(DM_GetStrErr(code, sizeof t, t), 0);
    return t;
  }
  testsupport::TempDir tmp_;
  std::string xml_base_;
  std::unique_ptr<Daemon> d_;
};

TEST_F(EndToEnd, WalksTheWholeTreeAndReadsEveryParameter) {
  int top = 0;
  ASSERT_EQ(DM_EntityFind("", &top), 0);
  std::vector<int> todo = {top};
  std::set<std::string> paths;
  int hidden = 0, params = 0, dots = 0;
  while (!todo.empty()) {
    int h = todo.back();
    todo.pop_back();
    char name[DM_NAME_SIZE], path[DM_TEXT_SIZE], full[DM_FULLNAME_SIZE], info[DM_TEXT_SIZE];
    ASSERT_EQ(DM_GetEntityName(h, name), 0);
    ASSERT_EQ(DM_GetEntityPath(h, path), 0);
    ASSERT_EQ(DM_GetEntityFullName(h, full), 0);
    ASSERT_EQ(DM_GetEntityInfo(h, info), 0);
    EXPECT_TRUE(std::string(path).ends_with(name));
    int found = 0;
    ASSERT_EQ(DM_EntityFind(path, &found), 0);
    EXPECT_EQ(found, h);
    paths.insert(path);
    hidden += DM_EntityHidden(h);
    int child = 0, count = 0;
    if (DM_GetEntityFirstChild(h, &child, &count) == 0) {
      int n = 1;
      do {
        int parent = 0;
        ASSERT_EQ(DM_GetEntityParent(child, &parent), 0);
        EXPECT_EQ(parent, h);
        todo.push_back(child);
      } while (DM_GetEntityNextChild(h, &child) == 0 && ++n);
      EXPECT_EQ(n, count);
      EXPECT_EQ(get_err(), 6);  // end of list
    }
    char pname[DM_NAME_SIZE];
    int type = 0, total = 0;
    auto read_param = [&](const char *p) {
      char text[DM_TEXT_SIZE], value[300];
      ASSERT_EQ(DM_GetParamInfo(p, text), 0);
      int lo, hi, third;
      ASSERT_EQ(DM_GetParamMinMax(p, &lo, &hi, &third), 0);
      EXPECT_LE(lo, hi);
      if (DM_CanGet(-1, p) == 1) {
        EXPECT_EQ(DM_GetParam(p, sizeof value, value, 0), 0) << p;
      } else {
        EXPECT_EQ(DM_GetParam(p, sizeof value, value, 0), -1) << p;
      }
      ++params;
    };
    if (DM_GetFirstParam(h, pname, &type, &total) == 0) {
      int n = 0;
      do {
        ++n;
        read_param(pname);
      } while (DM_GetNextParam(h, pname, &type) == 0);
      EXPECT_EQ(n, total);
    }
    if (DM_GetFirstDotParam(h, "", pname, &type) == 0) {
      do {
        ++dots;
        read_param(pname);
      } while (DM_GetNextDotParam(h, pname) == 0);
    }
  }
  EXPECT_EQ(paths.size(), 12u);
  EXPECT_TRUE(paths.count("system.network.eth0"));
  EXPECT_EQ(hidden, 2);
  EXPECT_GT(params, 40);
  EXPECT_GE(dots, 10);
  int parent = 0;
  EXPECT_EQ(DM_GetEntityParent(top, &parent), -1);
  EXPECT_EQ(DM_EntityFind("no.such", &parent), -1);
  EXPECT_EQ(err_text(get_err()), "No such entity");
}

TEST_F(EndToEnd, DotParametersAreSelectedByTheirGroup) {
  int eth0 = 0;
  ASSERT_EQ(DM_EntityFind("system.network.eth0", &eth0), 0);
  char name[DM_NAME_SIZE];
  int type = 0;
  std::vector<std::string> names;
  ASSERT_EQ(DM_GetFirstDotParam(eth0, "ipv4", name, &type), 0);
  do names.push_back(name); while (DM_GetNextDotParam(eth0, name) == 0);
  EXPECT_EQ(names, (std::vector<std::string>{"system.network.eth0.ipv4.address",
                                             "system.network.eth0.ipv4.netmask",
                                             "system.network.eth0.ipv4.dhcp"}));
}

TEST_F(EndToEnd, ReadsAndSetsEveryParameterType) {
  const char *mtu = "system.network.eth0.mtu";
  int v = 0, type = 0;
  ASSERT_EQ(DM_GetParamType(mtu, &type), 0);
  EXPECT_EQ(type, 1);
  EXPECT_EQ(DM_IntSet(mtu, 9000, 0), 0);
  EXPECT_EQ(DM_IntGet(mtu, &v, 0), 0);
  EXPECT_EQ(v, 9000);
  EXPECT_EQ(DM_IntGet(mtu, &v, 1), 0);  // the default
  EXPECT_EQ(v, 1500);
  EXPECT_EQ(DM_IntSet(mtu, 9001, 0), -1);
  EXPECT_EQ(err_text(get_err()), "Value out of range");
  EXPECT_EQ(DM_SetParam(mtu, 0, "1280", 0), 0);
  char text[32];
  EXPECT_EQ(DM_GetParam(mtu, sizeof text, text, 0), 0);
  EXPECT_STREQ(text, "1280");
  EXPECT_EQ(DM_SetParam(mtu, 0, "12x", 0), -1);
  EXPECT_EQ(get_err(), 5);
  EXPECT_EQ(DM_IntSet(mtu, 700, 1), 0);  // validated only
  EXPECT_EQ(DM_IntGet(mtu, &v, 0), 0);
  EXPECT_EQ(v, 1280);

  const char *speed = "system.network.eth0.speed";
  int is_enum = 0;
  ASSERT_EQ(DM_IsParamEnum(speed, &is_enum), 0);
  EXPECT_EQ(is_enum, 1);
  std::vector<std::string> texts;
  int pos = 0;
  char vt[20];
  while (DM_GetNextVal(speed, sizeof vt, &pos, vt) == 0) texts.push_back(vt);
  EXPECT_EQ(texts, (std::vector<std::string>{"auto", "10M", "100M", "1G"}));
  EXPECT_EQ(DM_ConvertIntValToStr(speed, 100, sizeof vt, vt), 0);
  EXPECT_STREQ(vt, "100M");
  EXPECT_EQ(DM_SetParam(speed, 0, "1G", 0), 0);
  EXPECT_EQ(DM_IntGet(speed, &v, 0), 0);
  EXPECT_EQ(v, 1000);
  EXPECT_EQ(DM_IntSet(speed, 5, 0), -1);

  const char *host = "system.hostname";
  EXPECT_EQ(DM_SetParam(host, 0, "edge-7", 0), 0);
  char buf[64];
  std::memset(buf, 'z', sizeof buf);
  EXPECT_EQ(DM_BufferGet(host, 8, buf, 0), 0);
  EXPECT_EQ(std::string(buf, 8), std::string("edge-7\0\0", 8));
  char raw[4] = {'n', 'o', 'd', 'e'};
  EXPECT_EQ(DM_BufferSet(host, 4, raw, 0), 0);
  EXPECT_EQ(DM_GetParam(host, sizeof buf, buf, 0), 0);
  EXPECT_STREQ(buf, "node");
  EXPECT_EQ(DM_SetParam(host, 0, "", 0), -1);  // shorter than its minimum
  char confirm[DM_TEXT_SIZE];
  EXPECT_EQ(DM_GetParamConfirmationText(host, "x1", confirm, sizeof confirm), 1);
  EXPECT_NE(std::string(confirm).find("'x1'"), std::string::npos);
  EXPECT_EQ(DM_GetParamConfirmationText(mtu, "1", confirm, sizeof confirm), 0);

  EXPECT_EQ(DM_IntSet("system.uptime", 5, 0), -1);  // read-only
  EXPECT_EQ(get_err(), 9);
  EXPECT_EQ(DM_GetParam("system.services.snmp.community", sizeof buf, buf, 0), -1);  // write-only
  EXPECT_EQ(get_err(), 10);
  EXPECT_EQ(DM_SetParam("system.services.snmp.community", 0, "s3cret", 0), 0);
  EXPECT_EQ(DM_CanSet(-1, "system.uptime"), 0);
  EXPECT_EQ(DM_CanGet(-1, "system.services.snmp.community"), 0);
  EXPECT_EQ(DM_CanSet(1, host), 0);  // what a monitor could do
  EXPECT_EQ(DM_CanSet(-1, host), 1);

  set_privelege(1);
  EXPECT_EQ(DM_SetParam(host, 0, "mine", 0), -1);
  EXPECT_EQ(get_err(), 3);
  EXPECT_EQ(DM_CanSet(3, host), 0);  // never more than the caller's own level
  set_privelege(3);
  EXPECT_EQ(DM_SetPrivilege(1), 0);  // lowers this connection's ceiling
  EXPECT_EQ(DM_SetParam(host, 0, "mine", 0), -1);
  EXPECT_EQ(DM_SetPrivilege(3), 0);
  EXPECT_EQ(DM_SetParam(host, 0, "mine", 0), 0);

  std::string log = read_file(d_->security_log());
  EXPECT_NE(log.find("set system.hostname=mine"), std::string::npos) << log;
  EXPECT_NE(log.find("set system.services.snmp.community=(not shown)"), std::string::npos);
  EXPECT_EQ(log.find("s3cret"), std::string::npos);
}

TEST_F(EndToEnd, ListsCommandsAndTheirOptions) {
  char name[DM_NAME_SIZE], text[DM_TEXT_SIZE];
  int count = 0;
  std::vector<std::string> names;
  ASSERT_EQ(CMD_GetFirstCommand(-1, name, text, &count), 0);
  do names.push_back(name); while (CMD_GetNextCommand(-1, name, text) == 0);
  EXPECT_EQ(static_cast<int>(names.size()), count);
  EXPECT_EQ(count, 8);
  ASSERT_EQ(CMD_GetFirstCommand(0, name, text, &count), 0);
  EXPECT_EQ(count, 2);  // what anonymous users see
  EXPECT_EQ(CMD_IsCommand(-1, "reboot"), 1);
  EXPECT_EQ(CMD_IsCommand(0, "reboot"), 0);
  EXPECT_EQ(CMD_IsCommand(-1, "nonsense"), 0);
  int pos = 0;
  std::vector<std::string> opts;
  while (CMD_GetCmdOption(-1, "show-interfaces", &pos, "", text) == 0) opts.push_back(text);
  EXPECT_EQ(opts, (std::vector<std::string>{"eth0", "eth1", "brief", "detail"}));
  pos = 0;
  ASSERT_EQ(CMD_GetCmdOption(-1, "show-interfaces", &pos, "b", text), 0);
  EXPECT_STREQ(text, "brief");
  EXPECT_EQ(pos, 3);
  EXPECT_EQ(CMD_GetCommandConfirmationText(-1, "reboot", " now", text, sizeof text), 1);
  EXPECT_NE(std::string(text).find("restarts now and"), std::string::npos) << text;
  EXPECT_EQ(CMD_GetCommandConfirmationText(-1, "ping", "", text, sizeof text), 0);
  EXPECT_STREQ(text, "");
}

TEST_F(EndToEnd, CommandsDriveEveryIntermediateFrame) {
  EXPECT_EQ(CMD_ExecCommand(-1, "show-version", ""), 0);
  EXPECT_EQ(g_seen.print_calls, 4);
  EXPECT_NE(g_seen.printed.find("Version:  2.4.1"), std::string::npos);

  EXPECT_EQ(CMD_ExecCommand(-1, "export-config", ""), 0);
  std::string xml = read_file(GetXMLFileName());
  EXPECT_GT(xml.size(), 4096u);
  EXPECT_NE(xml.find("<model host=\"appliance-01\">"), std::string::npos);
  EXPECT_EQ(xml.find("changeme"), std::string::npos);  // write-only values stay inside

  g_seen.answers = {"10.0.0.1"};
  EXPECT_EQ(CMD_ExecCommand(-1, "ping", ""), 0);
  ASSERT_EQ(g_seen.prompts.size(), 1u);
  EXPECT_EQ(g_seen.prompts[0], std::make_pair(std::string("Host to ping: "), 0));
  EXPECT_NE(g_seen.printed.find("PING 10.0.0.1"), std::string::npos);

  g_seen.answers = {"n3w-passw0rd"};
  EXPECT_EQ(CMD_ExecCommand(-1, "set-root-password", ""), 0);
  EXPECT_EQ(g_seen.prompts.back(), std::make_pair(std::string("New password: "), 1));  // no echo

  g_seen.answers = {"no"};
  EXPECT_EQ(CMD_ExecCommand(-1, "reboot", ""), -1);
  EXPECT_EQ(get_err(), 23);
  EXPECT_TRUE(g_seen.commands.empty());
  g_seen.answers = {"yes"};
  EXPECT_EQ(CMD_ExecCommand(-1, "reboot", ""), 0);
  EXPECT_EQ(g_seen.commands, std::vector<std::string>{"logger -t mgtd-example restart-requested"});

  g_seen.answers = {"yes"};
  EXPECT_EQ(CMD_ExecCommand(-1, "factory-reset", ""), -1);
  EXPECT_EQ(get_err(), 21);
  set_privelege(1);
  EXPECT_EQ(CMD_ExecCommand(-1, "reboot", ""), -1);
  EXPECT_EQ(get_err(), 11);
  EXPECT_NE(read_file(d_->security_log()).find("command reboot"), std::string::npos);
}

TEST_F(EndToEnd, UsersPrivilegesAndTheSecurityLog) {
  set_privelege(-1);  // as before a login
  int level = -1, uid = -1;
  EXPECT_EQ(DM_AuthUser("admin", "admin", &level, &uid), 0);
  EXPECT_EQ(level, 3);
  EXPECT_EQ(uid, 1000);
  EXPECT_EQ(DM_AuthUser("admin", "wrong", &level, &uid), -1);
  EXPECT_EQ(get_err(), 13);
  unsigned char cred[64];
  std::memset(cred, 0xAA, sizeof cred);
  EXPECT_EQ(DM_GetUserCred("operator", sizeof cred, cred), -1);  // needs the login level
  EXPECT_EQ(get_err(), 3);
  set_privelege(4);
  ASSERT_EQ(DM_GetUserCred("operator", sizeof cred, cred), 0);
  int32_t words[2];
  std::memcpy(words, cred, 8);
  EXPECT_EQ(words[0], 2);
  EXPECT_EQ(words[1], 1001);
  EXPECT_STREQ(reinterpret_cast<char *>(cred + 8), "Shift operator");
  EXPECT_EQ(cred[63], 0);
  EXPECT_EQ(DM_GetUserCred("monitor", sizeof cred, cred), -1);
  EXPECT_EQ(get_err(), 14);
  EXPECT_EQ(DM_GetPrivilegeLevel(100, &level), 0);
  EXPECT_EQ(level, 1);
  EXPECT_EQ(DM_GetPrivilegeLevel(999, &level), -1);
  EXPECT_EQ(DM_LoginUser("operator"), 0);

  set_privelege(3);
  EXPECT_EQ(DM_SetUserCred("monitor", 4, "\1\0\0\0"), 0);
  set_privelege(4);
  EXPECT_EQ(DM_GetUserCred("monitor", 4, cred), 0);
  EXPECT_EQ(cred[0], 1);

  EXPECT_EQ(DM_SetClientIp("not-an-address"), -1);
  EXPECT_EQ(DM_SetClientIp("192.0.2.7"), 0);
  EXPECT_EQ(DM_SecurityLogLine("line one\nforged line"), 0);
  EXPECT_EQ(DM_SecurityLogEntry("bob", "did a thing"), 0);
  std::string log = read_file(d_->security_log());
  EXPECT_NE(log.find("authentication failed for admin"), std::string::npos) << log;
  EXPECT_NE(log.find("login operator"), std::string::npos);
  // What the kernel says about the peer first, then what the client claims.
  std::string peer = "unix uid=" + std::to_string(getuid()) + " pid=" + std::to_string(getpid());
  EXPECT_NE(log.find(peer + " claimed uid=1000 ip=192.0.2.7: line one?forged line\n"),
            std::string::npos) << log;
  EXPECT_NE(log.find("claimed uid=1000 ip=192.0.2.7 user=bob: did a thing\n"), std::string::npos);

  char text[64];
  EXPECT_EQ(DM_GetHostName(text, sizeof text), 0);
  EXPECT_STREQ(text, "appliance-01");
  EXPECT_EQ(DM_GetHostName(text, 12), -1);
  EXPECT_EQ(get_err(), 8);
  char env[DM_TEXT_SIZE];
  EXPECT_EQ(DM_GetEnv("VERSION", env), 0);
  EXPECT_STREQ(env, "2.4.1");
  EXPECT_EQ(DM_GetEnv("NOPE", env), -1);
  EXPECT_EQ(err_text(3), "Permission denied: your privilege level is too low");
  EXPECT_EQ(err_text(13), "Authentication failed");
  EXPECT_EQ(DM_GetStrErr(12345, sizeof text, text), -1);
  EXPECT_EQ(sDM_GetCtxQuiet(), 0);
}

TEST_F(EndToEnd, TrapsAreQueuedByCommandsAndSignals) {
  std::vector<unsigned char> rec(896), data(16), src(32);
  EXPECT_EQ(SM_GetTrap(rec.data(), data.data(), 16), -1);
  EXPECT_EQ(get_err(), 16);
  ASSERT_EQ(CMD_ExecCommand(-1, "send-trap", "warning"), 0);
  ASSERT_EQ(SM_GetTrap(rec.data(), data.data(), 16), 0);  // none left
  EXPECT_STREQ(reinterpret_cast<char *>(rec.data() + 16), "test-trap");
  EXPECT_STREQ(reinterpret_cast<char *>(rec.data() + 80), "Test trap from the command line");
  EXPECT_STREQ(reinterpret_cast<char *>(data.data()), "warning");

  kill(d_->pid(), SIGUSR1);
  int got = -1;
  for (int i = 0; i < 200 && got != 0; ++i) {
    got = SM_GetTrapAndData(rec.data(), data.data(), 16, src.data(), 32);
    if (got != 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(got, 0);
  EXPECT_STREQ(reinterpret_cast<char *>(data.data()), "SIGUSR1");
  EXPECT_STREQ(reinterpret_cast<char *>(src.data()), "signal");
}

// A raw client: writes bytes, reads one result frame header.
int raw_connect(const std::string &path) {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  std::strcpy(sa.sun_path, path.c_str());
  if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

TEST_F(EndToEnd, GarbageAndStalledClientsAffectNobodyElse) {
  int stalled = raw_connect(d_->socket());
  ASSERT_GE(stalled, 0);
  ASSERT_EQ(write(stalled, "\0\0\0", 3), 3);  // a header that never completes

  int bad = raw_connect(d_->socket());
  MSG_HDR h{};
  h.hdr_len = 56;
  h.magic = MSG_MAGIC;
  h.total_len = 64;
  h.item_count = 3;  // more items than the bytes hold
  h.seq = 77;
  h.opcode = 7;
  std::string frame(64, '\0');
  std::memcpy(frame.data(), &h, sizeof h);
  ASSERT_EQ(write(bad, frame.data(), frame.size()), 64);
  REPLY_HDR r{};
  ASSERT_EQ(recv(bad, &r, sizeof r, MSG_WAITALL), 48);
  EXPECT_EQ(r.type, REPLY_RESULT);
  EXPECT_EQ(r.seq, 77u);
  EXPECT_NE(r.status, 0);
  h.opcode = 99;  // unknown, but well formed
  h.item_count = 0;
  h.total_len = 56;
  ASSERT_EQ(write(bad, &h, 56), 56);
  ASSERT_EQ(recv(bad, &r, sizeof r, MSG_WAITALL), 48);
  EXPECT_NE(r.status, 0);
  ASSERT_EQ(write(bad, "garbage!garbage!garbage!garbage!garbage!garbage!garbage!", 56), 56);
  ASSERT_EQ(recv(bad, &r, sizeof r, MSG_WAITALL), 48);
  EXPECT_NE(r.status, 0);
  char c;
  EXPECT_EQ(recv(bad, &c, 1, 0), 0);  // out of step: the daemon hangs up
  close(bad);

  char name[DM_NAME_SIZE];
  int top = 0;
  EXPECT_EQ(DM_EntityFind("system", &top), 0);
  EXPECT_EQ(DM_GetEntityName(top, name), 0);
  EXPECT_STREQ(name, "system");
  close(stalled);
}

TEST_F(EndToEnd, StopsCleanlyOnSigtermAndRemovesItsSocket) {
  int st = d_->stop();
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
  EXPECT_FALSE(testsupport::file_exists(d_->socket()));
  int v = 0;
  EXPECT_EQ(DM_IntGet("system.network.eth0.mtu", &v, 0), -1);
}

TEST(MgtdStart, ABadModelFileNamesItsLine) {
  testsupport::TempDir tmp;
  testsupport::write_file(tmp.file("bad.model"), "host \"x\"\nentity top\n  param p integer min=5 max=1\n");
  std::string cmd = std::string(std::getenv("MGTD_BIN")) + " --foreground --socket " +
                    tmp.file("s") + " --model " + tmp.file("bad.model") + " 2>" + tmp.file("err");
  int st = std::system(cmd.c_str());
  EXPECT_NE(st, 0);
  EXPECT_EQ(read_file(tmp.file("err")), "mgtd: " + tmp.file("bad.model") + ":3: min is above max\n");
}

TEST(MgtdStart, SetValuesSurviveARestartWithAStateFile) {
  testsupport::TempDir tmp;
  for (int round = 0; round < 2; ++round) {
    pl::testing::reset_client_context();
    Daemon d(tmp.path(), {"--state", tmp.file("state")});
    int fd = pl::client_open_sock(d.socket().c_str());
    ASSERT_GE(fd, 0);
    set_socket(fd);
    set_privelege(3);
    int v = 0;
    if (round == 0) {
      ASSERT_EQ(DM_IntSet("system.services.ssh.port", 2222, 0), 0);
    }
    ASSERT_EQ(DM_IntGet("system.services.ssh.port", &v, 0), 0);
    EXPECT_EQ(v, 2222);
    close(fd);
  }
  pl::testing::reset_client_context();
}

}  // namespace
