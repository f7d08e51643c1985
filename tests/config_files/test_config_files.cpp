// Config-file editing against the real /bin/sh, sed and rm: the exact file
// before and after every edit, and the attacks a shared directory allows.
#include <glob.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/harness.hpp"
#include "util_linux.h"

using namespace testsupport;

namespace {

int copies_in(const std::string &dir) {  // left-over copies, also one level down
  glob_t g{};
  glob((dir + "/{,*/}*.cp.*").c_str(), GLOB_BRACE, nullptr, &g);
  const int n = static_cast<int>(g.gl_pathc);
  globfree(&g);
  return n;
}

int tag(const char *path, std::vector<const char *> lines, int comment = 0) {
  return replace_tag_lines("T", const_cast<char *const *>(lines.data()), static_cast<int32_t>(lines.size()), path,
                           comment);
}

const std::string kLongFile = "T=1\n" + std::string(10000, 'x') + "\n";

struct Edit {
  const char *before;  // null: no file
  std::function<int(const char *)> edit;
  int result;
  const char *after;     // null: as before
  const char *err = "";  // part of what stderr shows
  rlim_t max_size = RLIM_INFINITY;  // small: writes fail, as on a full file system
} const kEdits[] = {
    {"a\nT=1\nb\n#T=0\n", [](auto p) { return tag(p, {"T=2"}); }, 2, "a\nT=2\nb\n"},
    {"a\nT=1\nb\n#T=0\n", [](auto p) { return tag(p, {"T=2"}, 1); }, 2, "a\n#T=2\nb\n"},
    {"  in\n\n\t\nkeep\n  #T=9\n  T=1\n", [](auto p) { return tag(p, {"T=5", "T=6"}); }, 1,
     "  in\n\n\t\nkeep\n  #T=9\nT=5\nT=6\n"},  // untagged lines kept as they are
    {"a\n", [](auto p) { return tag(p, {"T=2"}); }, 1, "a\n\n\nT=2\n"},
    {nullptr, [](auto p) { return tag(p, {"T=2"}); }, 1, "\n\nT=2\n"},
    {"T=1\n#T=0\n  #T=2\nx\n", [](auto p) { return set_tag_comment("T", p, 1); }, 2, "#T=1\n#T=0\n  #T=2\nx\n"},
    {"T=1\n#T=0\n  #T=2\nx\n", [](auto p) { return set_tag_comment("T", p, 0); }, 2, "T=1\nT=0\n  #T=2\nx\n"},
    {kLongFile.c_str(), [](auto p) { return tag(p, {"T=2"}); }, -2, nullptr, "file not changed. 10", 4096},
    {"one\ntwo\n", [](auto p) { return replace_line(2, "  it's a/b & c\\d\\t", p); }, 0, "one\nit's a/b & c\\d\\t\n"},
    {"Port = 22\nPort=23\nPortX=1\n#Port=3\n", [](auto p) { return find_and_replace_line("Port", "Port = 2", p); },
     0, "Port = 2\nPort = 2\nPortX=1\n#Port=3\n"},
    {"abc 1\nabd 2\nxab 3\n", [](auto p) { return find_text_and_replace_line("ab.", "n & /", p); }, 0,
     "n & /\nn & /\nxab 3\n"},  // the prefix is a regular expression
    {"abc\na.c\n", [](auto p) { return find_text_and_replace_line("a\\.c", "n", p); }, 0, "abc\nn\n"},
    {"a/b rest\nzz a/b\n", [](auto p) { return find_text_and_replace_text("a/b", "c&d\\1/e", p); }, 0,
     "c&d\\1/e rest\nzz a/b\n"},
    {nullptr, [](auto p) { return replace_line(1, "x", p); }, -512, nullptr, "sed did not change file: "},
    {"k=1\n", [](auto p) { return replace_line(1, nullptr, p); }, -1, nullptr},
    {"k=1\n", [](auto p) { return find_and_replace_line(nullptr, "x", p) + set_tag_comment(nullptr, p, 0); }, -1, nullptr},
};

TEST(ConfigFiles, EditsChangeExactlyTheirLines) {
  signal(SIGXFSZ, SIG_IGN);
  for (const auto &e : kEdits) {
    SCOPED_TRACE(&e - kEdits);
    TempDir dir;
    const std::string p = dir.file("conf");
    if (e.before) write_file(p, e.before);
    rlimit old, lim;
    getrlimit(RLIMIT_FSIZE, &old);
    lim = {e.max_size, old.rlim_max};
    FdCapture err(2);
    setrlimit(RLIMIT_FSIZE, &lim);
    const int r = e.edit(p.c_str());
    setrlimit(RLIMIT_FSIZE, &old);
    EXPECT_NE(err.finish().find(e.err), std::string::npos);
    EXPECT_EQ(r, e.result);
    const char *after = e.after ? e.after : e.before;
    EXPECT_EQ(file_exists(p) ? read_file(p) : "<none>", after ? after : "<none>");
    EXPECT_EQ(copies_in(dir.path()), 0);
  }
}

TEST(ConfigFiles, ArgumentsAndPathsAreLiteral) {
  TempDir dir;
  const std::string pwn = dir.file("pwned"), p = dir.file("conf");
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  for (const std::string &h : {"x'; touch '" + pwn + "'; '", "x\"; touch " + pwn + "; \"", "x $(touch " + pwn + ")",
                               "x `touch " + pwn + "`", "x\ntouch " + pwn, "x/;w " + pwn + "\n", "x\nw " + pwn,
                               "x\\\nw " + pwn, "x/e touch " + pwn + "/", std::string("-n")}) {
    SCOPED_TRACE(h);
    write_file(p, "k=1\nother\n");
    EXPECT_EQ(replace_line(1, h.c_str(), p.c_str()), 0);
    EXPECT_EQ(find_text_and_replace_text("oth", h.c_str(), p.c_str()), 0);
    EXPECT_EQ(read_file(p), h + "\n" + h + "er\n");
    write_file(p, "k=1\n");
    find_and_replace_line(h.c_str(), "new", p.c_str());  // may be an invalid expression
    find_text_and_replace_line(h.c_str(), "new", p.c_str());
    EXPECT_EQ(read_file(p), "k=1\n");
    if (h.find('/') != std::string::npos) continue;
    write_file(dir.file(h), "a\nT=1\n");  // as a file name, relative when it looks like an option
    EXPECT_EQ(tag(h.c_str(), {"T=2"}), 1);
    EXPECT_EQ(replace_line(1, "b", h.c_str()), 0);
    EXPECT_EQ(read_file(dir.file(h)), "b\nT=2\n");
  }
  ASSERT_EQ(chdir("/"), 0);
  EXPECT_FALSE(file_exists(pwn));
  EXPECT_EQ(copies_in(dir.path()), 0);
}

TEST(ConfigFiles, LinkedFileStaysALinkAndKeepsOwnerAndMode) {
  TempDir dir;
  ASSERT_EQ(mkdir(dir.file("real").c_str(), 0755), 0);
  const std::string target = dir.file("real/conf"), link = dir.file("conf");
  write_file(target, "a\nT=1\nk=1\n");
  ASSERT_EQ(chmod(target.c_str(), 0640), 0);
  const bool root = geteuid() == 0;  // then another owner, same group
  ASSERT_EQ(root ? chown(target.c_str(), 4321, getegid()) : 0, 0);
  ASSERT_EQ(symlink("real/conf", link.c_str()), 0);  // relative, as /etc often has
  EXPECT_EQ(tag(link.c_str(), {"T=2"}), 1);
  EXPECT_EQ(find_and_replace_line("k", "k=2", link.c_str()), 0);
  struct stat st;
  EXPECT_TRUE(lstat(link.c_str(), &st) == 0 && S_ISLNK(st.st_mode));
  EXPECT_EQ(read_file(target), "a\nT=2\nk=2\n");
  ASSERT_EQ(stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(st.st_uid, root ? 4321u : geteuid());
  EXPECT_EQ(copies_in(dir.path()), 0);
}

TEST(ConfigFiles, FifosLoopsAndPlantedLinksAreRefused) {
  TempDir dir;
  const std::string fifo = dir.file("fifo"), loop = dir.file("loop"), victim = dir.file("victim"), p = dir.file("c");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_EQ(symlink("loop", loop.c_str()), 0);
  write_file(victim, "precious\n");
  write_file(p, "a\nT=1\n");
  FdCapture err(2);
  EXPECT_EQ(tag(fifo.c_str(), {"T=2"}), -2);  // neither read (no hang) nor replaced
  EXPECT_EQ(tag(loop.c_str(), {"T=2"}), -2);
  EXPECT_NE(err.finish().find("file not changed. 1:"), std::string::npos);
  struct stat st;
  EXPECT_TRUE(lstat(fifo.c_str(), &st) == 0 && S_ISFIFO(st.st_mode));
  // Another user keeps linking every name the copy may take to root's file.
  std::atomic<bool> stop{false};
  std::thread planter([&] {
    while (!stop)
      for (int n = 1; n <= 300; ++n) symlink(victim.c_str(), (p + ".cp." + std::to_string(n)).c_str());
  });
  FdCapture err2(2);  // refused attempts say so
  for (int i = 0; i < 10; ++i) tag(p.c_str(), {"T=2"});
  stop = true;
  planter.join();
  EXPECT_EQ(read_file(victim), "precious\n");
  EXPECT_TRUE(read_file(p) == "a\nT=1\n" || read_file(p) == "a\nT=2\n") << read_file(p) << err2.finish();
}

TEST(ConfigFiles, ReadingKeysAndLines) {
  TempDir dir;
  const std::string p = dir.file("conf"), missing = dir.file("missing"), longv(1000, 'L');
  write_file(p, "# h\n#Port=1\nPort=22\nPort 23\n  Port = 24\nPortX=25\nPort\nPort=" + longv + "\nOther=1\n");
  std::FILE *f = std::fopen(p.c_str(), "r");
  int32_t counter = 0;
  char *line = nullptr;
  std::string got;
  for (; find_config_line(&line, &counter, "Port", '=', f) == 0; free(line)) got += line + std::to_string(counter);
  free(line);
  std::fclose(f);
  EXPECT_EQ(got, "223234=52567" + longv + "8");
  EXPECT_EQ(counter, 9);  // comments counted too

  write_file(p, "a\nkey 1\nb\nkey 2\n" + std::string(30, 'z') + "key\n");
  char buf[16];
  for (auto [n, want] : {std::pair{3, 7}, {4, -1}, {0, -1}, {2, 4}})  // long lines are read in pieces
    EXPECT_EQ(find_line_occurrence("key", buf, sizeof buf, n, p.c_str()), want) << n;
  EXPECT_STREQ(buf, "key 2\n");
  EXPECT_EQ(find_line_occurrence("key", buf, sizeof buf, 1, missing.c_str()), -1);
  EXPECT_EQ(find_line_occurrence("key", nullptr, sizeof buf, 1, p.c_str()), -1);
  EXPECT_EQ(find_line("nope", buf, p.c_str(), sizeof buf), -1);
  EXPECT_EQ(find_line("key", buf, missing.c_str(), sizeof buf), -2);
  EXPECT_EQ(find_line("key", buf, p.c_str(), 1), -1);  // no room to read into
  EXPECT_EQ(find_line("key", buf, p.c_str(), sizeof buf), 0);
  EXPECT_STREQ(buf, "key 1\n");
  char *out = nullptr, *s = add_text(&out, "ab", "cd");
  EXPECT_EQ(out, s);
  EXPECT_STREQ(s, "abcd");
  free(s);
}

TEST(ConfigFiles, KilledMidEditLeavesTheOldOrTheNewContent) {
  TempDir dir;  // a few hundred KB, every tenth line tagged; a child toggles the comment until killed
  std::string plain, commented, p = dir.file("big.conf");
  for (int i = 0; i < 8000; ++i) {
    std::string l = (i % 10 ? "key" : "T") + std::to_string(i) + " = some value of the line\n";
    plain += l, commented += (i % 10 ? "" : "#") + l;
  }
  write_file(p, plain);
  std::mt19937 rng(12);
  for (int trial = 0; trial < 40; ++trial) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    setpgid(child, 0);  // (in both) its own group: the shell an edit runs dies with it, not after the test
    for (int c = 1; child == 0; c ^= 1) set_tag_comment("T", p.c_str(), c);
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 20000));
    kill(-child, SIGKILL);
    waitpid(child, nullptr, 0);
    const std::string now = read_file(p);
    ASSERT_TRUE(now == plain || now == commented) << "trial " << trial << ": " << now.size() << " bytes";
  }
}

}  // namespace
