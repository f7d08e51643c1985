// Config-file editing against real /bin/sh, /bin/sed, /bin/rm, cp, test and
// touch: exact file contents before and after every edit.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <sys/resource.h>

#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <thread>
#include <string>
#include <vector>

#include "support/harness.hpp"
#include "util_linux.h"

using namespace testsupport;

namespace {

// Names in dir that contain ".cp." (left-over copies).
std::vector<std::string> copies_in(const std::string &dir) {
  std::vector<std::string> out;
  if (DIR *d = opendir(dir.c_str())) {
    while (dirent *e = readdir(d))
      if (std::strstr(e->d_name, ".cp.")) out.push_back(e->d_name);
    closedir(d);
  }
  return out;
}

// Arguments that the shell or sed would otherwise take as commands; each
// tries to create `pwn`.
std::vector<std::string> hostile(const std::string &pwn) {
  return {"x'; touch '" + pwn + "'; '",      "x\"; touch " + pwn + "; \"",
          "x $(touch " + pwn + ")",          "x `touch " + pwn + "`",
          "x\ntouch " + pwn,                 "x/;w " + pwn + "\n",
          "x\nw " + pwn,                     "x\\\nw " + pwn,
          "x/e touch " + pwn + "/"};
}

class ConfigFiles : public ::testing::Test {
 protected:
  std::string file(const std::string &content, const std::string &name = "conf") {
    std::string p = dir.file(name);
    write_file(p, content);
    return p;
  }
  TempDir dir;
};

TEST(AddText, ConcatenatesIntoAHeapString) {
  char *out = reinterpret_cast<char *>(1);
  char *s = add_text(&out, nullptr, nullptr);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(out, s);
  EXPECT_STREQ(s, "");
  free(s);
  s = add_text(&out, "ab", "cd");
  EXPECT_STREQ(out, "abcd");
  free(s);
  AllocFailure fail(0);
  EXPECT_EQ(add_text(&out, "a", "b"), nullptr);
  EXPECT_EQ(out, nullptr);
}

TEST(RemoveTrail, DropsTheTrailingRun) {
  for (auto [in, want] : {std::pair{"a//", "a"}, {"///", ""}, {"abc", "abc"}, {"a/b/", "a/b"}}) {
    char *r = remove_trail(in, '/');
    EXPECT_NE(r, in);
    EXPECT_STREQ(r, want);
    free(r);
  }
  SyslogCapture cap;
  const char *text = "a//";
  {
    AllocFailure fail(0);
    EXPECT_EQ(remove_trail(text, '/'), text);
  }
  EXPECT_TRUE(cap.contains(LOG_USER | LOG_ERR, "remove_trail: strdup error: Cannot allocate memory"))
      << cap.dump();
}

TEST_F(ConfigFiles, FindConfigLineValues) {
  std::string p = file(
      "# header\n#Port=1\nPort=22\nPort 23\n  Port = 24\nPortX=25\nPort\nOther=1\n");
  std::FILE *f = std::fopen(p.c_str(), "r");
  ASSERT_NE(f, nullptr);
  int32_t counter = 0;
  char *line = nullptr;
  std::vector<std::pair<std::string, int>> got;
  while (find_config_line(&line, &counter, "Port", '=', f) == 0) {
    got.emplace_back(line, counter);
    free(line);
  }
  free(line);
  std::fclose(f);
  std::vector<std::pair<std::string, int>> want = {
      {"22", 3}, {"23", 4}, {"=", 5}, {"25", 6}, {"", 7}};
  EXPECT_EQ(got, want);
  EXPECT_EQ(counter, 8);  // every line was read, comments included
}

TEST_F(ConfigFiles, FindConfigLineLeavesTheCallersStrtokAlone) {
  std::string p = file("Key=value\n");
  char mine[] = "one two three";
  ASSERT_STREQ(strtok(mine, " "), "one");
  std::FILE *f = std::fopen(p.c_str(), "r");
  int32_t counter = 0;
  char *line = nullptr;
  ASSERT_EQ(find_config_line(&line, &counter, "Key", '=', f), 0);
  EXPECT_STREQ(line, "value");
  free(line);
  std::fclose(f);
  EXPECT_STREQ(strtok(nullptr, " "), "two");
}

TEST_F(ConfigFiles, AppendLineStartsANewLine) {
  std::string p = file("a\n");
  std::FILE *f = std::fopen(p.c_str(), "r+");
  EXPECT_GE(append_line("X", f), 0);
  EXPECT_GE(append_line("Y", f), 0);
  std::fclose(f);
  EXPECT_EQ(read_file(p), "a\n\nX\nY");
  f = std::fopen(p.c_str(), "r");  // read-only: the writes fail
  EXPECT_LT(append_line("Z", f), 0);
  std::fclose(f);
}

TEST_F(ConfigFiles, ReplaceTagLines) {
  char line[] = "T=2";
  char *lines[] = {line};
  std::string p = file("a\nT=1\nb\n#T=0\n");
  EXPECT_EQ(replace_tag_lines("T", lines, 1, p.c_str(), 0), 2);
  EXPECT_EQ(read_file(p), "a\nT=2\nb\n");

  p = file("a\nT=1\nb\n#T=0\n");
  EXPECT_EQ(replace_tag_lines("T", lines, 1, p.c_str(), 1), 2);
  EXPECT_EQ(read_file(p), "a\n#T=2\nb\n");

  // Untagged lines stay exactly as they were; "  #T" is not tagged.
  p = file("  indented\n\n\t\nkeep\n  #T=9\n  T=1\n");
  char l1[] = "T=5", l2[] = "T=6";
  char *two[] = {l1, l2};
  EXPECT_EQ(replace_tag_lines("T", two, 2, p.c_str(), 0), 1);
  EXPECT_EQ(read_file(p), "  indented\n\n\t\nkeep\n  #T=9\nT=5\nT=6\n");

  // No tagged line: the block is appended.
  p = file("a\n");
  EXPECT_EQ(replace_tag_lines("T", lines, 1, p.c_str(), 0), 1);
  EXPECT_EQ(read_file(p), "a\n\n\nT=2\n");
  p = dir.file("new");
  EXPECT_EQ(replace_tag_lines("T", lines, 1, p.c_str(), 0), 1);
  EXPECT_EQ(read_file(p), "\n\nT=2\n");
  EXPECT_TRUE(copies_in(dir.path()).empty());
}

TEST_F(ConfigFiles, SetTagComment) {
  std::string p = file("T=1\n#T=0\n  #T=2\nx\n");
  EXPECT_EQ(set_tag_comment("T", p.c_str(), 1), 2);
  EXPECT_EQ(read_file(p), "#T=1\n#T=0\n  #T=2\nx\n");
  EXPECT_EQ(set_tag_comment("T", p.c_str(), 0), 2);
  EXPECT_EQ(read_file(p), "T=1\nT=0\n  #T=2\nx\n");
  EXPECT_EQ(set_tag_comment("Q", p.c_str(), 0), 0);
  EXPECT_EQ(read_file(p), "T=1\nT=0\n  #T=2\nx\n");
  EXPECT_TRUE(copies_in(dir.path()).empty());
}

TEST_F(ConfigFiles, ReplaceTagLinesTakesAnyPathLiterally) {
  char line[] = "T=2";
  char *lines[] = {line};
  const std::string pwn = dir.file("pwned");
  // A path far beyond 256 bytes, under nested directories.
  std::string deep;
  for (int i = 0; i < 5; ++i) {
    deep += std::string(60, char('a' + i)) + "/";
    ASSERT_EQ(mkdir(dir.file(deep).c_str(), 0755), 0);
  }
  std::vector<std::string> names = {deep + "conf", "-rf", "*"};
  for (const auto &h : hostile(pwn))
    if (h.find('/') == std::string::npos) names.push_back(h);
  for (const auto &name : names) {
    SCOPED_TRACE(name);
    std::string p = file("a\nT=1\n", name);
    EXPECT_EQ(replace_tag_lines("T", lines, 1, p.c_str(), 0), 1);
    EXPECT_EQ(read_file(p), "a\nT=2\n");
    EXPECT_TRUE(copies_in(dir.path()).empty());
    EXPECT_TRUE(copies_in(dir.file(deep)).empty());
    std::remove(p.c_str());
  }
  EXPECT_FALSE(file_exists(pwn));
}

// Writes beyond a small file-size limit fail, as on a full file system.
struct FileSizeLimit {
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &old);
    old_handler = signal(SIGXFSZ, SIG_IGN);
    rlimit lim = old;
    lim.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &lim);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, old_handler);
  }
  rlimit old;
  sighandler_t old_handler;
};

TEST_F(ConfigFiles, FailedWriteLeavesTheFileAlone) {
  // A long replacement, and a long file: either way the new content cannot
  // be written whole, as on a full file system.
  std::string big(20000, 'v');
  char line[] = "T=2";
  struct Case {
    std::string before;
    char *line;
  } cases[] = {{"a\nT=1\nb\n", big.data()}, {"T=1\n" + std::string(10000, 'x') + "\n", line}};
  for (auto &c : cases) {
    std::string p = file(c.before);
    char *lines[] = {c.line};
    FdCapture err(2);
    int r;
    {
      FileSizeLimit limit(4096);
      r = replace_tag_lines("T", lines, 1, p.c_str(), 0);
    }
    std::string msg = err.finish();
    EXPECT_EQ(r, -2);
    EXPECT_EQ(read_file(p), c.before);
    EXPECT_TRUE(copies_in(dir.path()).empty());
    EXPECT_NE(msg.find("replace_tag_lines: file not changed. 10"), std::string::npos) << msg;
  }
}

TEST_F(ConfigFiles, LinksPlantedAtTheCopyNamesAreNotFollowed) {
  // Another user keeps linking every name the copy may take to a file of
  // root's, also after the leftovers were removed.
  const std::string victim = file("precious\n", "victim");
  std::string p = file("a\nT=1\n");
  std::atomic<bool> stop{false};
  std::thread planter([&] {
    while (!stop)
      for (int n = 1; n <= 300; ++n) symlink(victim.c_str(), (p + ".cp." + std::to_string(n)).c_str());
  });
  char line[] = "T=2";
  char *lines[] = {line};
  FdCapture err(2);  // refused attempts say so
  for (int i = 0; i < 10; ++i) {
    int r = replace_tag_lines("T", lines, 1, p.c_str(), 0);
    EXPECT_TRUE(r == 1 || r == -2) << r;
  }
  stop = true;
  planter.join();
  err.finish();
  EXPECT_EQ(read_file(victim), "precious\n");
  const std::string now = read_file(p);
  EXPECT_TRUE(now == "a\nT=1\n" || now == "a\nT=2\n") << now;
}

TEST_F(ConfigFiles, SymlinkedFileStaysALinkAndItsTargetIsEdited) {
  mkdir(dir.file("real").c_str(), 0755);
  const std::string target = file("a\nT=1\nk=1\n", "real/conf");
  ASSERT_EQ(chmod(target.c_str(), 0640), 0);
  const std::string link = dir.file("conf");
  ASSERT_EQ(symlink("real/conf", link.c_str()), 0);  // relative, as /etc often has
  char line[] = "T=2";
  char *lines[] = {line};
  EXPECT_EQ(replace_tag_lines("T", lines, 1, link.c_str(), 0), 1);
  EXPECT_EQ(find_and_replace_line("k", "k=2", link.c_str()), 0);
  EXPECT_EQ(replace_line(1, "b", link.c_str()), 0);
  struct stat st;
  ASSERT_EQ(lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(read_file(target), "b\nT=2\nk=2\n");
  ASSERT_EQ(stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);  // mode kept
  EXPECT_TRUE(copies_in(dir.path()).empty());
  EXPECT_TRUE(copies_in(dir.file("real")).empty());
}

TEST_F(ConfigFiles, KilledMidEditLeavesTheOldOrTheNewContent) {
  // A few hundred KB, every tenth line tagged: a child toggles the comment
  // on and off until it is killed at a random moment.
  std::string plain, commented;
  for (int i = 0; i < 8000; ++i) {
    std::string l = (i % 10 ? "key" : "T") + std::to_string(i) + " = some value of the line\n";
    plain += l;
    commented += (i % 10 ? "" : "#") + l;
  }
  const std::string p = file(plain);
  std::mt19937 rng(12);
  for (int trial = 0; trial < 40; ++trial) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      for (int c = 1;; c ^= 1) set_tag_comment("T", p.c_str(), c);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 20000));
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    const std::string now = read_file(p);
    ASSERT_TRUE(now == plain || now == commented) << "trial " << trial << ": " << now.size() << " bytes";
  }
}

TEST_F(ConfigFiles, StreamEditorEdits) {
  std::string p = file("one\ntwo\n");
  EXPECT_EQ(replace_line(3, "three", p.c_str()), 0);
  EXPECT_EQ(read_file(p), "one\ntwo\n");
  EXPECT_EQ(replace_line(2, "  it's a/b & c\\d\\t", p.c_str()), 0);
  EXPECT_EQ(read_file(p), "one\nit's a/b & c\\d\\t\n");

  p = file("Port = 22\nPort=23\nPortX=1\n#Port=3\n");
  EXPECT_EQ(find_and_replace_line("Port", "Port = 2222", p.c_str()), 0);
  EXPECT_EQ(read_file(p), "Port = 2222\nPort = 2222\nPortX=1\n#Port=3\n");

  p = file("abc 1\nabd 2\nxab 3\n");  // the prefix keeps its regex meaning
  EXPECT_EQ(find_text_and_replace_line("ab.", "new & /", p.c_str()), 0);
  EXPECT_EQ(read_file(p), "new & /\nnew & /\nxab 3\n");

  p = file("a/b rest\nzz a/b\n");
  EXPECT_EQ(find_text_and_replace_text("a/b", "c&d\\1/e", p.c_str()), 0);
  EXPECT_EQ(read_file(p), "c&d\\1/e rest\nzz a/b\n");
}

TEST_F(ConfigFiles, StreamEditorTakesArgumentsLiterally) {
  const std::string pwn = dir.file("pwned");
  for (const auto &h : hostile(pwn)) {
    SCOPED_TRACE(h);
    std::string p = file("k=1\nother\n");
    EXPECT_EQ(replace_line(1, h.c_str(), p.c_str()), 0);
    EXPECT_EQ(read_file(p), h + "\nother\n");
    p = file("k=1\nother\n");
    EXPECT_EQ(find_text_and_replace_text("k", h.c_str(), p.c_str()), 0);
    EXPECT_EQ(read_file(p), h + "=1\nother\n");
    p = file("k=1\n");
    find_and_replace_line(h.c_str(), "new", p.c_str());  // may be an invalid expression
    find_text_and_replace_line(h.c_str(), "new", p.c_str());
    find_text_and_replace_text(h.c_str(), "new", p.c_str());
    EXPECT_EQ(read_file(p), "k=1\n");
  }
  // Paths too.
  std::string odd = file("k=1\n", "a b;c'd$(e)`f`");
  EXPECT_EQ(find_and_replace_line("k", "k=2", odd.c_str()), 0);
  EXPECT_EQ(read_file(odd), "k=2\n");
  std::string dash = file("k=1\n", "-n");
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  int r = replace_line(1, "k=3", "-n");  // a relative name that looks like an option
  ASSERT_EQ(chdir(cwd), 0);
  EXPECT_EQ(r, 0);
  EXPECT_EQ(read_file(dash), "k=3\n");
  EXPECT_FALSE(file_exists(pwn));
}

TEST_F(ConfigFiles, StreamEditorFailures) {
  const std::string missing = dir.file("missing");
  FdCapture err(2);
  int r = replace_line(1, "x", missing.c_str());
  int f = find_and_replace_line("k", "x", missing.c_str());
  std::string msg = err.finish();
  EXPECT_LT(r, 0);
  EXPECT_EQ(-r % 256, 0);
  EXPECT_EQ(f, -r);
  EXPECT_NE(msg.find("sed did not change file: "), std::string::npos) << msg;
  EXPECT_NE(msg.find("sed did not changed %s file\n: "), std::string::npos) << msg;

  std::string p = file("k=1\n");
  FdCapture err2(2);
  {
    AllocFailure fail(0);
    EXPECT_EQ(replace_line(1, "x", p.c_str()), -1);
    EXPECT_EQ(find_and_replace_line("k", "x", p.c_str()), 1);
    EXPECT_EQ(find_text_and_replace_line("k", "x", p.c_str()), 1);
    EXPECT_EQ(find_text_and_replace_text("k", "x", p.c_str()), 1);
  }
  EXPECT_EQ(err2.finish(), "");
  EXPECT_EQ(read_file(p), "k=1\n");
}

TEST_F(ConfigFiles, FindLineAndOccurrence) {
  std::string p = file("a\nkey 1\nb\nc\nkey 2\n" + std::string(30, 'z') + "key\n");
  char buf[16];
  EXPECT_EQ(find_line_occurrence("key", buf, sizeof buf, 2, p.c_str()), 5);
  EXPECT_STREQ(buf, "key 2\n");
  // A long line is read in pieces of 15 characters, each counted.
  EXPECT_EQ(find_line_occurrence("key", buf, sizeof buf, 3, p.c_str()), 8);
  EXPECT_EQ(find_line_occurrence("key", buf, sizeof buf, 4, p.c_str()), -1);
  EXPECT_EQ(find_line_occurrence("key", buf, sizeof buf, 0, p.c_str()), -1);
  EXPECT_EQ(find_line_occurrence("key", buf, sizeof buf, 1, dir.file("missing").c_str()), -1);

  EXPECT_EQ(find_line("key", buf, p.c_str(), sizeof buf), 0);
  EXPECT_STREQ(buf, "key 1\n");
  EXPECT_EQ(find_line("nope", buf, p.c_str(), sizeof buf), -1);
  EXPECT_EQ(find_line("key", buf, dir.file("missing").c_str(), sizeof buf), -2);
  EXPECT_EQ(find_line("key", buf, p.c_str(), 1), -1);  // no room to read into
}

}  // namespace
