// mgtsh at a terminal: a tmux pane on a private tmux server, driven with
// send-keys and read with capture-pane, through a PAM login, a command with
// a prompt, a secret prompt and exit.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <thread>

#include "mgtsh_env.hpp"
#include "support/mgtd_process.hpp"

using testing::HasSubstr;
using testing::Not;

namespace {

std::string find_tmux() {
  const char *path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "/usr/bin:/bin");
  std::string d;
  while (std::getline(dirs, d, ':'))
    if (!d.empty() && access((d + "/tmux").c_str(), X_OK) == 0) return d + "/tmux";
  return "";
}

std::string quote(const std::string &s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// A tmux server of the test's own (its socket in the temporary directory),
// killed with everything in it when the test ends.
class Tmux {
 public:
  Tmux(std::string tmux, std::string socket) : tmux_(std::move(tmux)), socket_(std::move(socket)) {}
  ~Tmux() { run("kill-server 2>/dev/null"); }
  int run(const std::string &args) { return std::system((quote(tmux_) + " -S " + quote(socket_) + " " + args).c_str()); }
  std::string output(const std::string &args) {
    std::string cmd = quote(tmux_) + " -S " + quote(socket_) + " " + args;
    std::string out;
    if (FILE *p = popen(cmd.c_str(), "r")) {
      char buf[4096];
      std::size_t n;
      while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
      pclose(p);
    }
    return out;
  }
  std::string screen() { return output("capture-pane -p -N -t mgtsh"); }
  void keys(const std::string &text) {
    run("send-keys -t mgtsh -l " + quote(text));
    run("send-keys -t mgtsh Enter");
  }
  // Waits until the pane shows `text` `times` times; false after 15 s.
  bool wait_for(const std::string &text, int times = 1) {
    for (int i = 0; i < 1500; ++i) {
      std::string s = screen();
      int n = 0;
      for (auto p = s.find(text); p != std::string::npos; p = s.find(text, p + 1)) ++n;
      if (n >= times) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

 private:
  std::string tmux_, socket_;
};

TEST(MgtshTerminal, LoginRunWithPromptsAndExit) {
  std::string tmux = find_tmux();
  if (tmux.empty()) GTEST_SKIP() << "tmux is not installed (Debian package tmux)";
  testsupport::TempDir tmp;
  std::optional<mgtshtest::Daemon> daemon(std::in_place, tmp.path());
  ASSERT_TRUE(daemon->ready()) << "mgtd did not start";
  mgtshtest::PamWorld pam(tmp.path());
  if (!pam.available()) GTEST_SKIP() << "pam_wrapper/nss_wrapper (libpam-wrapper, libnss-wrapper) not installed";

  // The pane runs a script that sets up the PAM world and starts mgtsh;
  // cat as the pager keeps the screen predictable.
  std::string script = "export PAGER=cat\n";
  for (const auto &[k, v] : pam.env()) script += "export " + k + "=" + quote(v) + "\n";
  // The script waits for mgtsh and shows how it ended (the pane lives on
  // until the server is killed).
  script += quote(mgtshtest::mgtsh_path()) + " --socket " + quote(daemon->socket()) + "\n";
  script += "echo \"mgtsh ended with status $?\"\nexec sleep 600\n";
  testsupport::write_file(tmp.file("pane.sh"), script);

  Tmux t(tmux, tmp.file("tmux.sock"));
  ASSERT_EQ(t.run("-f /dev/null new-session -d -s mgtsh -x 150 -y 40 " + quote("sh " + tmp.file("pane.sh"))),
            0);

  ASSERT_TRUE(t.wait_for("login: ")) << t.screen();
  t.keys("admin");
  ASSERT_TRUE(t.wait_for("Password: ")) << t.screen();
  t.keys("admin");
  // Keys typed while a command runs may be dropped when the line editor
  // takes the terminal back: every command waits for the next prompt.
  const std::string prompt = "admin@appliance-01:system> ";
  ASSERT_TRUE(t.wait_for(prompt)) << t.screen();
  EXPECT_THAT(t.screen(), HasSubstr("Connected to mgtd as admin."));
  EXPECT_THAT(t.screen(), HasSubstr("Password: \n"));  // not echoed

  t.keys("run ping");
  ASSERT_TRUE(t.wait_for("Host to ping: ")) << t.screen();
  t.keys("192.0.2.9");
  ASSERT_TRUE(t.wait_for("--- 192.0.2.9 ping statistics: 2 sent, 2 received ---")) << t.screen();
  ASSERT_TRUE(t.wait_for(prompt, 2)) << t.screen();

  t.keys("run set-root-password");
  ASSERT_TRUE(t.wait_for("New password: ")) << t.screen();
  t.keys("hidden-word-7");
  ASSERT_TRUE(t.wait_for("Password changed.")) << t.screen();
  ASSERT_TRUE(t.wait_for(prompt, 3)) << t.screen();
  EXPECT_THAT(t.screen(), Not(HasSubstr("hidden-word-7")));

  std::string log = testsupport::read_file(daemon->security_log());
  EXPECT_THAT(log, HasSubstr("uid=1000: command ping"));

  // The daemon restarts under the shell: the next call fails, the
  // reconnect hook connects again, and the call after it works.
  daemon.reset();
  daemon.emplace(tmp.path());
  ASSERT_TRUE(daemon->ready());
  t.keys("get system.location");
  ASSERT_TRUE(t.wait_for("mgtsh: the connection to mgtd was lost; reconnected")) << t.screen();
  ASSERT_TRUE(t.wait_for(prompt, 4)) << t.screen();
  t.keys("get system.location");
  ASSERT_TRUE(t.wait_for(prompt, 5)) << t.screen();
  EXPECT_THAT(t.screen(), HasSubstr("> get system.location\nServer room 2\n" + prompt));

  t.keys("exit");
  ASSERT_TRUE(t.wait_for("mgtsh ended with status 0")) << t.screen();
}

TEST(MgtshTerminal, ControlsInTheDaemonsValuesAreShownEscaped) {
  std::string tmux = find_tmux();
  if (tmux.empty()) GTEST_SKIP() << "tmux is not installed (Debian package tmux)";
  testsupport::TempDir tmp;
  // A value that would set the window title, clear the screen and colour
  // the rest (once with a C1 control), between UTF-8 text.
  const std::string hostile = "Z\u00fcrich \x1b]2;pwned\x07\x1b[2J\u009b31mRED";
  std::string model = testsupport::read_file(testsupport::example_model());
  const std::string plain = "default=\"Server room 2\"";
  ASSERT_NE(model.find(plain), std::string::npos);
  model.replace(model.find(plain), plain.size(), "default=\"" + hostile + "\"");
  testsupport::write_file(tmp.file("hostile.model"), model);
  testsupport::MgtdProcess daemon(MGTD_PATH, tmp.path(), {"--model", tmp.file("hostile.model")});
  ASSERT_TRUE(daemon.ready()) << "mgtd did not start";

  testsupport::write_file(tmp.file("pane.sh"),
                          "echo BEFORE\n" + quote(mgtshtest::mgtsh_path()) + " --no-login --socket " +
                              quote(daemon.socket()) + " -c 'get system.location'\necho \"ended $?\"\nexec sleep 600\n");
  Tmux t(tmux, tmp.file("tmux.sock"));
  ASSERT_EQ(t.run("-u -f /dev/null new-session -d -s mgtsh -x 150 -y 20 " + quote("sh " + tmp.file("pane.sh"))), 0);
  ASSERT_TRUE(t.wait_for("ended 0")) << t.screen();
  const std::string screen = t.screen();
  EXPECT_THAT(screen, HasSubstr("BEFORE\n"));  // the screen was not cleared
  EXPECT_THAT(screen, HasSubstr("Z\u00fcrich \\x1b]2;pwned\\x07\\x1b[2J\\u009b31mRED\n"));
  EXPECT_NE(t.output("display-message -p -t mgtsh '#{pane_title}'"), "pwned\n");
}

}  // namespace
