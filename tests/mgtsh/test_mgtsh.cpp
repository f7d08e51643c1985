// mgtsh against a live reference daemon: driven the way scripts drive it
// (-c and standard input, with and without a PAM login through
// pam_wrapper), and at a terminal: a tmux pane on a private tmux server.
#include <gtest/gtest.h>
#include <unistd.h>

#include <optional>
#include <regex>
#include <thread>

#include "support/harness.hpp"
#include "support/mgtd_process.hpp"

namespace {

using testsupport::MgtdProcess;
using testsupport::read_file;

struct Row {
  std::vector<std::string> args;  // after --socket S (and --no-login unless fd3 is set)
  std::string input, fd3;         // standard input; the password on descriptor 3
  int status;
  std::vector<std::string> want;  // in stdout; "2:" in stderr; "!" in neither; "~" a regex on stdout+stderr
};

const Row kRows[] = {
    {{"-c", "get system.hostname"}, "", "", 0, {"appliance-01\n"}},
    {{"--debug", "-c", "stats"}, "", "", 0, {"kernel      ", "\nmemory      ", "~mgtsh debug: [0-9]+: client -send"}},
    {{"-c", "get system.nosuch"}, "", "", 1, {"2:get system.nosuch: No such parameter"}},
    {{"-c", "frobnicate"}, "", "", 1, {"2:unknown command \"frobnicate\""}},
    {{"--bogus"}, "", "", 2, {}},
    {{},
     "# comment\nset system.location \"Lab 4\"\nget system.location\nset system.network.eth0.mtu 99999\nget system.hostname\n",
     "", 1, {"system.location = Lab 4\nLab 4\n", "2:set system.network.eth0.mtu: Value out of range", "!appliance"}},
    {{}, "cd network\npwd\nls\ncd eth0\nget mtu\ncd ../..\npwd\ncd /system.services\npwd\n", "", 0,
     {"system.network\n", "eth0/\neth1/\ngateway = 192.168.1.254\n", "!debug/", "\n1500\nsystem\nsystem.services\n"}},
    {{"-c", "ls -a system.network", "-c", "tree"}, "", "", 0,
     {"debug/  (hidden)", "system/\n  hostname = appliance-01\n", "    eth0/\n      admin = up\n", "community = -"}},
    {{"-c", "info system.network.eth0.speed", "-c", "info system.hostname"}, "", "", 0,
     {"type        enumeration\n", "values      auto, 10M, 100M, 1G\n", "type        string, length 1 to 63\n",
      "confirm     Renaming the appliance to 'VALUE'"}},
    {{}, "set system.hostname other\nno\n", "", 1, {"2:set system.hostname: cancelled"}},
    {{"-c", "set -y system.hostname other", "-c", "get system.hostname"}, "", "", 0, {"system.hostname = other\nother\n"}},
    {{"-x"}, "run ping\n10.0.0.7\nrun export-config\nxml\n", "", 0,
     {"2:Host to ping: 10.0.0.7\n", "64 bytes from 10.0.0.7: seq=1 time=0.3 ms\n", "<model host=\"appliance-01\">",
      "</model>\n", "~XML result: /mnt/temp/xml\\.[0-9]+_[0-9]+ \\([0-9]{4,} bytes\\)"}},
    {{}, "run set-root-password\nvery-secret-1\nrun reboot\ny\nyes\ntraps\n", "", 0,
     {"Password changed.\n", "2:New password: \n", "!very-secret-1", "Restarting...\n",
      "2:The appliance restarts and all sessions end. Continue? [y/N] y\n",
      "info reboot: Restart requested by an administrator\n"}},
    {{"-y"}, "run factory-reset\nno\n", "", 1, {"2:run factory-reset: Cancelled"}},
    // PAM logins: the credential record's level, or the group's (monitor).
    {{"--user", "admin", "--password-fd", "3", "-c", "set -y system.contact ops@example.net", "-c",
      "log checked by the test"}, "", "admin\n", 0, {"system.contact = ops@example.net\n"}},
    {{"--user", "monitor", "--password-fd", "3", "-c", "get system.contact", "-c", "set system.contact x"}, "",
     "monitor\n", 1, {"ops@example.net\n", "2:set system.contact: Permission denied"}},
    // A wrong password and an unknown user get the same one text.
    {{"-c", "pwd"}, "admin\nwrong\n", "-", 4, {"2:login: admin\nPassword: \nLogin incorrect\n"}},
    {{"-c", "pwd"}, "nosuchuser\nwrong\n", "-", 4, {"2:login: nosuchuser\nPassword: \nLogin incorrect\n"}},
};

TEST(Mgtsh, BatchRunsAgainstTheDaemon) {
  testsupport::TempDir tmp;
  MgtdProcess d(MGTD_PATH, tmp.path());
  ASSERT_TRUE(d.ready()) << d.output();
  const testsupport::Env pam = testsupport::pam_world(tmp.path());
  for (const Row &r : kRows) {
    if (!r.fd3.empty() && pam.empty()) continue;  // no pam_wrapper: the login rows are left out
    std::vector<std::string> argv = {MGTSH_PATH, "--socket", d.socket()};
    if (r.fd3.empty()) argv.push_back("--no-login");
    argv.insert(argv.end(), r.args.begin(), r.args.end());
    auto run = testsupport::run_program(tmp.path(), argv, r.input, pam, r.fd3 == "-" ? "" : r.fd3);
    std::string all = run.out + run.err, line = r.args.empty() ? r.input.substr(0, 30) : r.args.back();
    EXPECT_EQ(run.status, r.status) << line << "\n" << all;
    for (const std::string &w : r.want) {
      bool ok = w[0] == '!'   ? all.find(w.substr(1)) == std::string::npos
                : w[0] == '~' ? std::regex_search(all, std::regex(w.substr(1)))
                : w.starts_with("2:") ? run.err.find(w.substr(2)) != std::string::npos
                                      : run.out.find(w) != std::string::npos;
      EXPECT_TRUE(ok) << line << ": " << w << "\n" << all;
    }
    std::smatch xml;  // the XML result file goes when mgtsh ends
    EXPECT_FALSE(std::regex_search(run.out, xml, std::regex("XML result: (\\S+)")) && testsupport::file_exists(xml[1]));
  }
  std::string log = read_file(d.security_log());
  EXPECT_TRUE(pam.empty() || log.find("uid=1000 user=admin: checked by the test") != std::string::npos) << log;
}

std::string quote(const std::string &s) { return "'" + std::regex_replace(s, std::regex("'"), "'\\''") + "'"; }

// A tmux server of the test's own, killed with everything in it at the end.
struct Tmux {
  std::string base;
  explicit Tmux(const std::string &socket) : base("tmux -S " + quote(socket) + " ") {}
  ~Tmux() { run("kill-server 2>/dev/null"); }
  int run(const std::string &args) { return std::system((base + args).c_str()); }
  std::string output(const std::string &args) {
    std::string out;
    char buf[4096];
    FILE *p = popen((base + args).c_str(), "r");
    for (size_t n; p && (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    return p ? pclose(p) : 0, out;
  }
  std::string screen() { return output("capture-pane -p -N -t t"); }
  void keys(const std::string &text) { run("send-keys -t t -l " + quote(text) + " && " + base + "send-keys -t t Enter"); }
  // Waits until the pane shows text `times` times; false after 15 s.
  bool wait_for(const std::string &text, int times = 1) {
    for (int i = 0; i < 1500; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
      std::string s = screen();
      int n = 0;
      for (auto p = s.find(text); p != std::string::npos; p = s.find(text, p + 1)) ++n;
      if (n >= times) return true;
    }
    return false;
  }
};

// Login, a prompt, a secret prompt, a daemon restart and exit; then a value
// with terminal controls (title, clear, colour, a C1 control) shown escaped.
TEST(Mgtsh, AtATerminal) {
  if (std::system("tmux -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "tmux is not installed (Debian package tmux)";
  testsupport::TempDir tmp;
  const std::string hostile = "Z\u00fcrich \x1b]2;pwned\x07\x1b[2J\u009b31mRED", plain = "default=\"Server room 2\"";
  std::string model = read_file(testsupport::example_model());
  model.replace(model.find(plain), plain.size(), "default=\"" + hostile + "\"");
  testsupport::write_file(tmp.file("hostile.model"), model);
  std::optional<MgtdProcess> d(std::in_place, MGTD_PATH, tmp.path(), std::vector<std::string>{"--model", tmp.file("hostile.model")});
  ASSERT_TRUE(d->ready()) << d->output();
  const testsupport::Env pam = testsupport::pam_world(tmp.path());
  if (pam.empty()) GTEST_SKIP() << testsupport::kNoPamWorld;
  std::string script = "echo BEFORE\nexport PAGER=cat\n";  // cat keeps the screen predictable
  for (const auto &[k, v] : pam) script += "export " + k + "=" + quote(v) + "\n";
  script += quote(MGTSH_PATH) + " --socket " + quote(d->socket()) + "\necho \"ended $?\"\nexec sleep 600\n";
  testsupport::write_file(tmp.file("pane.sh"), script);
  Tmux t(tmp.file("tmux.sock"));
  ASSERT_EQ(t.run("-u -f /dev/null new-session -d -s t -x 150 -y 40 " + quote("sh " + tmp.file("pane.sh"))), 0);
  // Keys typed while a command runs may be dropped when the line editor
  // takes the terminal back: every command waits for the next prompt.
  const std::string prompt = "admin@appliance-01:system> ";
  int prompts = 0;
  const std::pair<std::string, std::string> steps[] = {
      {"login: ", "admin"},          {"Password: ", "admin"},  {prompt, "run ping"},
      {"Host to ping: ", "192.0.2.9"}, {prompt, "run set-root-password"}, {"New password: ", "hidden-word-7"},
      {prompt, "get system.location"}};
  for (const auto &[wait, type] : steps) {
    ASSERT_TRUE(t.wait_for(wait, wait == prompt ? ++prompts : 1)) << wait << "\n" << t.screen();
    t.keys(type);
  }
  ASSERT_TRUE(t.wait_for(prompt, ++prompts)) << t.screen();
  std::string screen = t.screen();
  for (const char *want : {"BEFORE\n", "Connected to mgtd as admin.", "Password: \n",
                           "--- 192.0.2.9 ping statistics: 2 sent, 2 received ---", "Password changed.",
                           "Z\u00fcrich \\x1b]2;pwned\\x07\\x1b[2J\\u009b31mRED\n"})
    EXPECT_NE(screen.find(want), std::string::npos) << want << "\n" << screen;
  EXPECT_EQ(screen.find("hidden-word-7"), std::string::npos);
  EXPECT_NE(t.output("display-message -p -t t '#{pane_title}'"), "pwned\n");
  EXPECT_NE(read_file(d->security_log()).find("uid=1000: command ping"), std::string::npos);
  // The daemon restarts under the shell: the next call fails, the reconnect
  // hook connects again, and the call after it works.
  d.reset();
  d.emplace(MGTD_PATH, tmp.path());
  ASSERT_TRUE(d->ready());
  t.keys("get system.location");
  ASSERT_TRUE(t.wait_for("mgtsh: the connection to mgtd was lost; reconnected")) << t.screen();
  ASSERT_TRUE(t.wait_for(prompt, ++prompts)) << t.screen();
  t.keys("get system.location");
  ASSERT_TRUE(t.wait_for("> get system.location\nServer room 2\n" + prompt)) << t.screen();
  t.keys("exit");
  EXPECT_TRUE(t.wait_for("ended 0")) << t.screen();
}

}  // namespace
