// mgtsh driven the way scripts drive it (-c and standard input) against a
// live reference daemon, with and without a PAM login.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <sstream>

#include "mgtsh_env.hpp"

using mgtshtest::Daemon;
using mgtshtest::PamWorld;
using mgtshtest::run_mgtsh;
using mgtshtest::Spawn;
using testing::HasSubstr;
using testing::Not;

namespace {

class MgtshBatch : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(daemon_.ready()) << "mgtd did not start";
  }
  // mgtsh on the test's daemon without a login.
  mgtshtest::Run dev(std::vector<std::string> args, std::string input = {}) {
    Spawn s;
    s.args = {"--socket", daemon_.socket(), "--no-login"};
    s.args.insert(s.args.end(), args.begin(), args.end());
    s.input = std::move(input);
    return run_mgtsh(tmp_.path(), s);
  }
  testsupport::TempDir tmp_;
  Daemon daemon_{tmp_.path()};
};

TEST_F(MgtshBatch, CommandOptionPrintsTheValueAndSucceeds) {
  auto r = dev({"-c", "get system.hostname"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "appliance-01\n");
  EXPECT_EQ(r.err, "");

  // --debug installs the debug_print hook: exchange traces on stderr.
  r = dev({"--debug", "-c", "stats"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.err, testing::ContainsRegex("mgtsh debug: [0-9]+: client -send [0-9]+"));
  EXPECT_THAT(r.out, testing::StartsWith("kernel      "));
  EXPECT_THAT(r.out, HasSubstr("\nmemory      "));
}

TEST_F(MgtshBatch, FailuresEndWithAMessageAndTheirOwnStatus) {
  auto r = dev({"-c", "get system.nosuch"});
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("get system.nosuch: No such parameter"));

  r = dev({"-c", "frobnicate"});
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("unknown command \"frobnicate\""));

  r = dev({"--bogus"});
  EXPECT_EQ(r.status, 2);

  Spawn s;
  s.args = {"--socket", tmp_.file("nobody.sock"), "--no-login", "-c", "pwd"};
  r = run_mgtsh(tmp_.path(), s);
  EXPECT_EQ(r.status, 3);
  EXPECT_THAT(r.err, HasSubstr("cannot connect to mgtd at " + tmp_.file("nobody.sock")));
}

TEST_F(MgtshBatch, ScriptOnStandardInputStopsAtTheFirstFailure) {
  auto r = dev({}, "# comment\n"
                   "set system.location \"Lab 4\"\n"
                   "get system.location\n"
                   "set system.network.eth0.mtu 99999\n"
                   "get system.hostname\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "system.location = Lab 4\nLab 4\n");
  EXPECT_THAT(r.err, HasSubstr("set system.network.eth0.mtu: Value out of range"));
}

TEST_F(MgtshBatch, NavigatesTheTreeAndHidesHiddenEntities) {
  auto r = dev({}, "cd network\npwd\nls\ncd eth0\nget mtu\ncd ../..\npwd\ncd /system.services\npwd\n");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.substr(0, r.out.find('\n')), "system.network");
  EXPECT_THAT(r.out, HasSubstr("eth0/\neth1/\ngateway = 192.168.1.254\n"));
  EXPECT_THAT(r.out, Not(HasSubstr("debug/")));
  EXPECT_THAT(r.out, HasSubstr("\n1500\nsystem\nsystem.services\n"));

  r = dev({"-c", "ls -a system.network"});
  EXPECT_THAT(r.out, HasSubstr("debug/  (hidden)"));
  r = dev({"-c", "tree"});
  EXPECT_THAT(r.out, HasSubstr("system/\n  hostname = appliance-01\n"));
  EXPECT_THAT(r.out, HasSubstr("    eth0/\n      admin = up\n"));
  EXPECT_THAT(r.out, HasSubstr("community = -"));  // write-only
}

TEST_F(MgtshBatch, InfoShowsTypeBoundsValuesAndTexts) {
  auto r = dev({"-c", "info system.network.eth0.speed", "-c", "info system.hostname"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("type        enumeration\n"));
  EXPECT_THAT(r.out, HasSubstr("values      auto, 10M, 100M, 1G\n"));
  EXPECT_THAT(r.out, HasSubstr("type        string, length 1 to 63\n"));
  EXPECT_THAT(r.out, HasSubstr("confirm     Renaming the appliance to 'VALUE'"));
}

TEST_F(MgtshBatch, SetAsksForConfirmationAndCancels) {
  // The answer to the confirmation comes from the script's next line.
  auto r = dev({}, "set system.hostname other\nno\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("set system.hostname: cancelled"));
  r = dev({"-c", "get system.hostname"});
  EXPECT_EQ(r.out, "appliance-01\n");
  r = dev({"-c", "set -y system.hostname other"});
  EXPECT_EQ(r.out, "system.hostname = other\n");
}

TEST_F(MgtshBatch, RunStreamsOutputAnswersPromptsAndKeepsTheXmlResult) {
  auto r = dev({"-x"}, "run ping\n10.0.0.7\nrun export-config\nxml\n");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.err, HasSubstr("Host to ping: 10.0.0.7\n"));
  EXPECT_THAT(r.out, HasSubstr("64 bytes from 10.0.0.7: seq=1 time=0.3 ms\n"));
  // "XML result: /mnt/temp/xml.<pid>_<socket> (<n> bytes)"
  EXPECT_THAT(r.out, testing::ContainsRegex("XML result: /mnt/temp/xml\\.[0-9]+_[0-9]+ \\([0-9]+ bytes\\)"));
  auto at = r.out.find("XML result: ");
  ASSERT_NE(at, std::string::npos) << r.out;
  std::istringstream line(r.out.substr(at + 12));
  std::string file, size;
  line >> file >> size;
  EXPECT_GT(std::stoi(size.substr(1)), 4096);  // streamed in several chunks
  EXPECT_THAT(r.out, HasSubstr("<model host=\"appliance-01\">"));
  EXPECT_THAT(r.out, HasSubstr("</model>\n"));
  struct stat st {};
  EXPECT_NE(stat(file.c_str(), &st), 0) << "the result file is removed at exit";
}

TEST_F(MgtshBatch, SecretPromptsAreNotEchoedAndCommandsRunOnTheClient) {
  auto r = dev({}, "run set-root-password\nvery-secret-1\nrun reboot\ny\nyes\ntraps\n");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("Password changed.\n"));
  EXPECT_THAT(r.err, HasSubstr("New password: \n"));
  EXPECT_THAT(r.err + r.out, Not(HasSubstr("very-secret-1")));
  EXPECT_THAT(r.err, HasSubstr("The appliance restarts and all sessions end. Continue? [y/N] y\n"));
  EXPECT_THAT(r.out, HasSubstr("Restarting...\n"));
  EXPECT_THAT(r.out, HasSubstr("info reboot: Restart requested by an administrator\n"));

  r = dev({"-y"}, "run factory-reset\nno\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("run factory-reset: Cancelled"));
}

TEST_F(MgtshBatch, LogsInThroughPamAndWorksWithTheUsersRights) {
  PamWorld pam(tmp_.path());
  if (!pam.available()) GTEST_SKIP() << "pam_wrapper/nss_wrapper (libpam-wrapper, libnss-wrapper) not installed";
  Spawn s;
  s.env = pam.env();
  s.password = "admin";
  s.args = {"--socket", daemon_.socket(), "--user", "admin", "--password-fd", "3",
            "-c", "set -y system.contact ops@example.net", "-c", "log checked by the test"};
  auto r = run_mgtsh(tmp_.path(), s);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "system.contact = ops@example.net\n");
  std::string log = testsupport::read_file(daemon_.security_log());
  EXPECT_THAT(log, HasSubstr("login admin"));
  EXPECT_THAT(log, HasSubstr("uid=1000: set system.contact=ops@example.net"));
  EXPECT_THAT(log, HasSubstr("uid=1000 user=admin: checked by the test"));

  // Without a credential record the level comes from the user's group:
  // monitor may read but not write.
  s.password = "monitor";
  s.args = {"--socket", daemon_.socket(), "--user", "monitor", "--password-fd", "3",
            "-c", "get system.contact", "-c", "set system.contact x"};
  r = run_mgtsh(tmp_.path(), s);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "ops@example.net\n");
  EXPECT_THAT(r.err, HasSubstr("set system.contact: Permission denied"));

  // User and password asked for on standard input.
  s.password.clear();
  s.args = {"--socket", daemon_.socket(), "-c", "pwd"};
  // A wrong password and an unknown user get the same one text.
  for (std::string user : {"admin", "nosuchuser"}) {
    s.input = user + "\nwrong\n";
    r = run_mgtsh(tmp_.path(), s);
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.err, "login: " + user + "\nPassword: \nLogin incorrect\n");
  }
}

}  // namespace
