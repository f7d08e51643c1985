// Every C sample in docs/host-guide.md is an excerpt of a program under examples/ (markers
// "guide: NAME" ... "guide end"), and those run against mgtd as the guide describes.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "support/harness.hpp"
#include "support/mgtd_process.hpp"

namespace {

const std::string kSource = std::getenv("PAM_LIB_SOURCE_DIR") ? std::getenv("PAM_LIB_SOURCE_DIR") : ".";

TEST(Guide, EverySampleIsAnExcerptOfAnExample) {
  std::map<std::string, std::string> excerpts;  // "file.c NAME" -> its lines, common indent removed
  for (const auto &e : std::filesystem::directory_iterator(kSource + "/examples")) {
    std::string text = testsupport::read_file(e.path()), file = e.path().filename().string();
    static const std::regex marked(R"(\n([ ]*)/\* guide: (\S+) \*/\n([^]*?)\n[ ]*/\* guide end \*/)");
    for (std::sregex_iterator m(text.begin(), text.end(), marked), end; m != end; ++m)
      excerpts[file + " " + (*m)[2].str()] = std::regex_replace((*m)[3].str() + "\n", std::regex("(^|\n)" + (*m)[1].str()), "$1");
  }
  ASSERT_FALSE(excerpts.empty());
  const std::string guide = testsupport::read_file(kSource + "/docs/host-guide.md");
  static const std::regex sample(R"(([^\n]*)\n```c\n([^]*?)```\n)");
  std::set<std::string> used;
  for (std::sregex_iterator m(guide.begin(), guide.end(), sample), end; m != end; ++m) {
    std::smatch key;
    std::string line = (*m)[1];
    ASSERT_TRUE(std::regex_match(line, key, std::regex("<!-- example: (.+) -->"))) << "unnamed sample: " << (*m)[2];
    ASSERT_TRUE(excerpts.count(key[1])) << "no excerpt \"" << key[1] << "\" in examples/";
    EXPECT_EQ((*m)[2].str(), excerpts[key[1]]) << "the guide's sample differs from examples/" << key[1];
    used.insert(key[1]);
  }
  for (const auto &[key, text] : excerpts) EXPECT_TRUE(used.count(key)) << "excerpt not in the guide: " << key;
}

TEST(Guide, ExamplesRunAgainstTheReferenceDaemon) {
  testsupport::TempDir dir;
  testsupport::MgtdProcess mgtd(MGTD_PATH, dir.path());
  ASSERT_TRUE(mgtd.ready()) << mgtd.output();
  const testsupport::Env pam = testsupport::pam_world(dir.path());
  auto ex = [&](const std::string &name) { return std::string(EXAMPLE_DIR) + "/example_" + name; };
  // In a private /mnt (where a mount namespace is allowed) the XML result is read back.
  const bool ns = std::system("unshare -m --propagation private true >/dev/null 2>&1") == 0;
  struct Case {
    std::vector<std::string> argv;
    std::string input, expect;
    int status = 0;
    bool login = false, in_ns = false;
  } cases[] = {
      {{ex("first_call"), mgtd.socket()}, "", "host name: appliance-01\nrefused by the daemon: word 2\n"},
      {{ex("walk"), mgtd.socket()}, "", "12 entities; 0 of 40 threaded walks differed"},
      {{ex("hooks"), mgtd.socket()}, "192.0.2.1\n", "PING 192.0.2.1: 56 data bytes"},
      {{ex("hooks"), mgtd.socket()}, "", "Host to ping: PING : 56 data bytes"},  // a NULL answer: an empty line
      {{ex("contracts")}, "", "every case as the guide says"},
      {{ex("login"), mgtd.socket(), "monitor"}, "monitor\n", "monitor: level 1, uid -1, session ", 0, true},
      {{"unshare", "-m", "--propagation", "private", "sh", "-c", "mount -t tmpfs none /mnt && mkdir /mnt/temp && exec \"$0\" \"$@\"",
        ex("hooks"), mgtd.socket()}, "192.0.2.1\n", "XML result: 12 entities with information", 0, false, true},
  };
  for (const auto &c : cases) {
    if ((c.login && pam.empty()) || (c.in_ns && !ns)) continue;  // no pam_wrapper or no namespace here
    auto r = testsupport::run_program(dir.path(), c.argv, c.input, c.login ? pam : testsupport::Env{});
    EXPECT_EQ(r.status, c.status) << c.argv[0] << "\n" << r.out << r.err;
    EXPECT_NE(r.out.find(c.expect), std::string::npos) << c.argv[0] << " printed:\n" << r.out << r.err;
  }
  // A daemon that stops answering: the host's bounded waits end the call, told from a daemon's error.
  ASSERT_EQ(kill(mgtd.pid(), SIGSTOP), 0);
  auto r = testsupport::run_program(dir.path(), {ex("first_call"), mgtd.socket()});
  kill(mgtd.pid(), SIGCONT);
  EXPECT_TRUE(r.status == 3 && r.err.find("DM_GetHostName: the daemon did not answer") != std::string::npos) << r.err;
}

}  // namespace
