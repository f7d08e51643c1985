// The host guide cannot drift from code that works: every C sample in
// docs/host-guide.md is an excerpt of a program under examples/ (markers
// "guide: NAME" ... "guide end"), and the programs run against the
// reference daemon with the outcomes the guide describes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "support/harness.hpp"
#include "support/mgtd_process.hpp"
#include "support/pam_wrapper_paths.hpp"

namespace {

using Env = std::vector<std::pair<std::string, std::string>>;

std::string source_dir() {
  const char *s = std::getenv("PAM_LIB_SOURCE_DIR");
  return s ? s : ".";
}

// Strips the common leading blanks of a block's lines.
std::string dedent(const std::string &block) {
  std::istringstream in(block);
  std::vector<std::string> lines;
  size_t indent = std::string::npos;
  for (std::string l; std::getline(in, l);) {
    lines.push_back(l);
    if (l.find_first_not_of(' ') != std::string::npos) indent = std::min(indent, l.find_first_not_of(' '));
  }
  std::string out;
  for (const auto &l : lines) out += (l.size() >= indent ? l.substr(indent) : std::string()) + "\n";
  return out;
}

std::string trimmed(const std::string &line) {
  size_t b = line.find_first_not_of(' ');
  return b == std::string::npos ? std::string() : line.substr(b);
}

// The text between `open` and `close` when line is exactly that, else "".
std::string between(const std::string &line, const std::string &open, const std::string &close) {
  if (line.size() <= open.size() + close.size() || line.compare(0, open.size(), open) != 0 ||
      line.compare(line.size() - close.size(), close.size(), close) != 0)
    return {};
  return line.substr(open.size(), line.size() - open.size() - close.size());
}

// "file.c NAME" -> the lines between "/* guide: NAME */" and "/* guide end */".
std::map<std::string, std::string> example_excerpts() {
  std::map<std::string, std::string> out;
  for (const auto &entry : std::filesystem::directory_iterator(source_dir() + "/examples")) {
    if (entry.path().extension() != ".c" && entry.path().extension() != ".h") continue;
    std::istringstream in(testsupport::read_file(entry.path()));
    std::string name, body;
    for (std::string l; std::getline(in, l);) {
      const std::string t = trimmed(l);
      if (t == "/* guide end */") {
        out[name] = dedent(body);
        name.clear();
      } else if (std::string n = between(t, "/* guide: ", " */"); !n.empty()) {
        name = entry.path().filename().string() + " " + n;
        body.clear();
      } else if (!name.empty()) {
        body += l + "\n";
      }
    }
  }
  return out;
}

struct Sample {
  std::string key;   // "file.c NAME" from the marker line above it, or ""
  std::string text;  // the lines between "```c" and "```"
};

std::vector<Sample> guide_samples(const std::string &guide) {
  std::vector<Sample> out;
  std::istringstream in(guide);
  std::string previous;
  for (std::string l; std::getline(in, l); previous = l) {
    if (l != "```c") continue;
    Sample s{between(previous, "<!-- example: ", " -->"), {}};
    while (std::getline(in, l) && l != "```") s.text += l + "\n";
    out.push_back(s);
  }
  return out;
}

TEST(Guide, EverySampleIsAnExcerptOfAnExample) {
  const std::string guide = testsupport::read_file(source_dir() + "/docs/host-guide.md");
  ASSERT_FALSE(guide.empty());
  const auto excerpts = example_excerpts();
  ASSERT_FALSE(excerpts.empty());

  std::set<std::string> used;
  for (const auto &sample : guide_samples(guide)) {
    ASSERT_FALSE(sample.key.empty()) << "a C sample in the guide names no example: " << sample.text.substr(0, 60);
    auto found = excerpts.find(sample.key);
    ASSERT_NE(found, excerpts.end()) << "no excerpt \"" << sample.key << "\" in examples/";
    EXPECT_EQ(sample.text, found->second) << "the guide's sample differs from examples/" << sample.key;
    used.insert(sample.key);
  }
  for (const auto &[key, text] : excerpts) EXPECT_TRUE(used.count(key)) << "excerpt not in the guide: " << key;
}

struct Outcome {
  int status = -1;  // exit status, or -1 when it did not exit normally
  std::string out, err;
  double seconds = 0;
};

// Runs an example program with stdin from `input`; output goes to files in dir.
Outcome run_program(const std::string &dir, const std::vector<std::string> &argv, const std::string &input,
        const Env &env = {}) {
  static int counter = 0;
  const std::string base = dir + "/run" + std::to_string(++counter);
  testsupport::write_file(base + ".in", input);
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    int in = open((base + ".in").c_str(), O_RDONLY);
    int out = open((base + ".out").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    int err = open((base + ".err").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    for (const auto &[k, v] : env) setenv(k.c_str(), v.c_str(), 1);
    std::vector<char *> av;
    for (const auto &a : argv) av.push_back(const_cast<char *>(a.c_str()));
    av.push_back(nullptr);
    execvp(av[0], av.data());
    _exit(127);
  }
  Outcome r;
  int status = 0;
  const auto until = start + std::chrono::seconds(60);
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > until) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.out = testsupport::read_file(base + ".out");
  r.err = testsupport::read_file(base + ".err");
  return r;
}

std::string example(const std::string &name) { return std::string(EXAMPLE_DIR) + "/example_" + name; }

class Examples : public ::testing::Test {
 protected:
  testsupport::TempDir dir_;
  testsupport::MgtdProcess mgtd_{MGTD_PATH, dir_.path()};
  void SetUp() override { ASSERT_TRUE(mgtd_.ready()) << mgtd_.output(); }
};

TEST_F(Examples, RunAgainstTheReferenceDaemon) {
  const std::string sock = mgtd_.socket();
  struct Case {
    std::vector<std::string> argv;
    std::string input, expect;
  } cases[] = {
      {{example("first_call"), sock}, "", "host name: appliance-01\nrefused by the daemon: word 2\n"},
      {{example("walk"), sock}, "", "12 entities; 0 of 40 threaded walks differed"},
      {{example("hooks"), sock}, "192.0.2.1\n", "PING 192.0.2.1: 56 data bytes"},
      // A NULL answer from the input hook is sent as an empty line.
      {{example("hooks"), sock}, "", "Host to ping: PING : 56 data bytes"},
      {{example("contracts")}, "", "every case as the guide says"},
  };
  for (const auto &c : cases) {
    Outcome r = run_program(dir_.path(), c.argv, c.input);
    EXPECT_EQ(r.status, 0) << c.argv[0] << "\n" << r.out << r.err;
    EXPECT_NE(r.out.find(c.expect), std::string::npos) << c.argv[0] << " printed:\n" << r.out << r.err;
  }
}

// With a private /mnt (a mount namespace, where the machine allows one) the
// XML result file really appears in /mnt/temp and is read back.
TEST_F(Examples, XmlResultIsReadBackAndRemoved) {
  const std::string wrap = "mount -t tmpfs none /mnt && mkdir /mnt/temp && exec \"$0\" \"$@\"";
  if (std::system("unshare -m --propagation private true >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "no private mount namespace here (needs root): /mnt/temp cannot be provided";
  Outcome r = run_program(dir_.path(), {"unshare", "-m", "--propagation", "private", "sh", "-c", wrap, example("hooks"),
                            mgtd_.socket()},
              "192.0.2.1\n");
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("XML result: 12 entities with information"), std::string::npos) << r.out << r.err;
}

// A daemon that stops answering: the bounded waits end the exchange, the
// reconnect hook runs, and the host tells it from a daemon's error.
TEST_F(Examples, StoppedDaemonIsToldFromADaemonError) {
  ASSERT_EQ(kill(mgtd_.pid(), SIGSTOP), 0);
  Outcome r = run_program(dir_.path(), {example("first_call"), mgtd_.socket()}, "");
  kill(mgtd_.pid(), SIGCONT);
  EXPECT_EQ(r.status, 3) << r.out << r.err;
  EXPECT_NE(r.err.find("DM_GetHostName: the daemon did not answer"), std::string::npos) << r.err;
  EXPECT_LT(r.seconds, 20.0);
}

// Logins through PAM under pam_wrapper: a user with a credential record and
// one whose level comes from the primary group.
TEST_F(Examples, LoginTakesTheUsersRights) {
  const std::string matrix = std::string(testsupport::kPamWrapperModuleDir) + "/pam_matrix.so";
  if (access(testsupport::kPamWrapperLib, R_OK) != 0 || access(testsupport::kNssWrapperLib, R_OK) != 0 ||
      access(matrix.c_str(), R_OK) != 0)
    GTEST_SKIP() << "needs pam_wrapper and nss_wrapper (Debian packages libpam-wrapper, libnss-wrapper)";
  std::string preload = testsupport::sanitizer_runtime();
  if (preload.find("libtsan") != std::string::npos) GTEST_SKIP() << "pam_wrapper cannot be loaded under TSan";
  const std::string d = dir_.file("pam");
  std::filesystem::create_directories(d + "/services");
  const std::string m = matrix + " passdb=" + d + "/passdb\n";
  testsupport::write_file(d + "/services/pam_lib_mgtd", "auth required " + m + "account required " + m +
                                                            "session required " + m);
  testsupport::write_file(d + "/passdb", "admin:admin:pam_lib_mgtd\nmonitor:monitor:pam_lib_mgtd\n");
  testsupport::write_file(d + "/passwd", "admin:x:1000:300:Admin:/:/bin/sh\nmonitor:x:1002:100:Monitor:/:/bin/sh\n");
  testsupport::write_file(d + "/group", "admins:x:300:\nusers:x:100:\n");
  for (const char *lib : {testsupport::kPamWrapperLib, testsupport::kNssWrapperLib})
    preload += (preload.empty() ? "" : " ") + std::string(lib);
  const Env env = {{"LD_PRELOAD", preload},
                   {"PAM_WRAPPER", "1"},
                   {"PAM_WRAPPER_SERVICE_DIR", d + "/services"},
                   {"PAM_WRAPPER_DISABLE_DEEPBIND", "1"},
                   {"NSS_WRAPPER_DISABLE_DEEPBIND", "1"},
                   {"NSS_WRAPPER_PASSWD", d + "/passwd"},
                   {"NSS_WRAPPER_GROUP", d + "/group"}};
  struct Case {
    const char *user, *password;
    int status;
    const char *expect;
  } cases[] = {
      {"admin", "admin", 0, "admin: level 3, uid 1000, session "},
      {"monitor", "monitor", 0, "monitor: level 1, uid -1, session "},
      {"admin", "wrong", 3, ""},
  };
  for (const auto &c : cases) {
    Outcome r = run_program(dir_.path(), {example("login"), mgtd_.socket(), c.user}, std::string(c.password) + "\n", env);
    EXPECT_EQ(r.status, c.status) << c.user << "\n" << r.out << r.err;
    EXPECT_NE(r.out.find(c.expect), std::string::npos) << r.out << r.err;
    if (c.status == 0) {
      EXPECT_NE(r.out.find("location: Server room 2"), std::string::npos) << r.out << r.err;
    }
  }
}

}  // namespace
