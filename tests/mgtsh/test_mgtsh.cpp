// mgtsh against a live reference daemon: as scripts drive it (-c, standard
// input, PAM logins through pam_wrapper) and at a terminal (a tmux pane).
#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include "support/harness.hpp"
#include "support/mgtd_process.hpp"

namespace {

using testsupport::read_file;

struct Row {
  std::vector<std::string> args;  // after --socket S (and --no-login unless fd3 is set)
  std::string input, fd3;         // standard input; the password on descriptor 3 ("-": none, but log in)
  int status;
  std::vector<std::string> want;  // regexes on stdout, or "2:" on stderr, or "!" on neither
};

const Row kRows[] = {
    {{"-c", "get system.hostname", "--debug"}, "", "", 0, {"^appliance-01\n$", "2:mgtsh debug: [0-9]+: client -send"}},
    {{"-c", "get system.nosuch", "-c", "pwd"}, "", "", 1, {"2:get system.nosuch: No such parameter", "^$"}},
    {{}, "# comment\nset system.location \"Lab 4\"\nget system.location\nset system.network.eth0.mtu 99999\nget system.hostname\n",
     "", 1, {"^system.location = Lab 4\nLab 4\n$", "2:set system.network.eth0.mtu: Value out of range"}},
    {{}, "cd network\nls\ncd eth0\nget mtu\ncd ../..\npwd\n", "", 0,
     {"!debug", "^eth0/\neth1/\ngateway = 192.168.1.254\n", "\n1500\nsystem\n$"}},
    {{}, "run set-root-password\nvery-secret-1\nrun reboot\ny\nyes\ntraps\n", "", 0,
     {"Password changed.\n", "2:New password: \n", "!very-secret-1", "Restarting...\n",
      "info reboot: Restart requested by an administrator\n"}},
    // PAM logins: a wrong password and an unknown user read the same.
    {{"-c", "pwd"}, "admin\nwrong\n", "-", 4, {"2:^login: admin\nPassword: \nLogin incorrect\n$"}},
    {{"-c", "pwd"}, "nosuchuser\nwrong\n", "-", 4, {"2:^login: nosuchuser\nPassword: \nLogin incorrect\n$"}},
};

TEST(Mgtsh, BatchRunsAgainstTheDaemon) {
  testsupport::TempDir tmp;
  testsupport::MgtdProcess d(MGTD_PATH, tmp.path());
  ASSERT_TRUE(d.ready()) << d.output();
  const testsupport::Env pam = testsupport::pam_world(tmp.path());
  for (const Row &r : kRows) {
    if (!r.fd3.empty() && pam.empty()) continue;  // no pam_wrapper: the login rows are left out
    std::vector<std::string> argv = {MGTSH_PATH, "--socket", d.socket()};
    if (r.fd3.empty()) argv.push_back("--no-login");
    argv.insert(argv.end(), r.args.begin(), r.args.end());
    auto run = testsupport::run_program(tmp.path(), argv, r.input, r.fd3.empty() ? testsupport::Env{} : pam, r.fd3 == "-" ? "" : r.fd3);
    EXPECT_EQ(run.status, r.status) << r.input << run.out << run.err;
    for (const std::string &w : r.want) {
      const bool err = w.starts_with("2:"), no = w[0] == '!';
      EXPECT_NE(std::regex_search(err ? run.err : no ? run.out + run.err : run.out, std::regex(w.substr(err ? 2 : no))), no)
          << w << "\n" << run.out << run.err;
    }
  }
}

std::string quote(const std::string &s) { return "'" + std::regex_replace(s, std::regex("'"), "'\\''") + "'"; }

// Login, prompts and exit in a pane of a private tmux server; a value with terminal
// controls (title, clear, colour, a C1 control) is shown escaped.
TEST(Mgtsh, AtATerminal) {
  if (std::system("tmux -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "tmux is not installed (Debian package tmux)";
  testsupport::TempDir tmp;
  const std::string hostile = "Z\u00fcrich \x1b]2;pwned\x07\x1b[2J\u009b31mRED", plain = "default=\"Server room 2\"";
  std::string model = read_file(testsupport::example_model()), tmux = "tmux -S " + quote(tmp.file("tmux.sock")) + " ";
  testsupport::write_file(tmp.file("m"), model.replace(model.find(plain), plain.size(), "default=\"" + hostile + "\""));
  testsupport::MgtdProcess daemon(MGTD_PATH, tmp.path(), {"--model", tmp.file("m")}), *d = &daemon;
  const testsupport::Env pam = testsupport::pam_world(tmp.path());
  if (pam.empty()) GTEST_SKIP() << testsupport::kNoPamWorld;
  ASSERT_TRUE(d->ready()) << d->output();
  std::string script = "echo BEFORE\nexport PAGER=cat\n";  // cat keeps the screen predictable
  for (const auto &[k, v] : pam) script += "export " + k + "=" + quote(v) + "\n";
  testsupport::write_file(tmp.file("pane.sh"), script + quote(MGTSH_PATH) + " --socket " + quote(d->socket()) +
                                                   "\necho \"ended $?\"\nexec sleep 600\n");
  ASSERT_EQ(std::system((tmux + "-u -f /dev/null new-session -d -s t -x 150 -y 40 " + quote("sh " + tmp.file("pane.sh"))).c_str()), 0);
  std::shared_ptr<void> end(nullptr, [&](void *) { (void)!std::system((tmux + "kill-server 2>/dev/null").c_str()); });
  auto tm = [&](const std::string &args) {  // what a tmux command printed
    std::string out(1 << 16, '\0');
    FILE *p = popen((tmux + args).c_str(), "r");
    return out.resize(p ? fread(out.data(), 1, out.size(), p) : 0), p && pclose(p), out;
  };
  auto screen = [&] { return tm("capture-pane -p -N -t t"); };
  auto wait_for = [&](const std::string &text, int times = 1) {  // false after 15 s
    for (int i = 0; i < 1500; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
      std::string s = screen();
      int n = 0;
      for (auto p = s.find(text); p != std::string::npos; p = s.find(text, p + 1)) ++n;
      if (n >= times) return true;
    }
    return false;
  };
  auto keys = [&](const std::string &k) { tm("send-keys -t t -l " + quote(k) + " && " + tmux + "send-keys -t t Enter"); };
  // Keys typed while a command runs may be dropped: every command waits for the next prompt.
  const std::string prompt = "admin@appliance-01:system> ";
  int prompts = 0;
  const std::pair<std::string, std::string> steps[] = {
      {"login: ", "admin"}, {"Password: ", "admin"}, {prompt, "run ping"}, {"Host to ping: ", "192.0.2.9"},
      {prompt, "run set-root-password"}, {"New password: ", "hidden-word-7"}, {prompt, "get system.location"}};
  for (const auto &[wait, type] : steps) {
    ASSERT_TRUE(wait_for(wait, wait == prompt ? ++prompts : 1)) << wait << "\n" << screen();
    keys(type);
  }
  ASSERT_TRUE(wait_for(prompt, ++prompts)) << screen();
  const std::string shown = screen();
  for (const char *want : {"BEFORE\n", "Connected to mgtd as admin.", "Password: \n", "Password changed.",
                           "--- 192.0.2.9 ping statistics: 2 sent, 2 received ---",
                           "Z\u00fcrich \\x1b]2;pwned\\x07\\x1b[2J\\u009b31mRED\n"})
    EXPECT_NE(shown.find(want), std::string::npos) << want << "\n" << shown;
  EXPECT_EQ(shown.find("hidden-word-7"), std::string::npos);
  EXPECT_NE(tm("display-message -p -t t '#{pane_title}'"), "pwned\n");
  EXPECT_NE(read_file(d->security_log()).find("uid=1000: command ping"), std::string::npos);
  keys("exit");
  EXPECT_TRUE(wait_for("ended 0")) << screen();
}

}  // namespace
