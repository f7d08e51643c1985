// Config-file editing against the real /bin/sh, sed and rm: the exact file
// before and after every edit, and the attacks a shared directory allows.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support/harness.hpp"
#include "util_linux.h"

using namespace testsupport;

namespace {

// Left-over copies (".cp.") in dir.
int copies_in(const std::string &dir) {
  int n = 0;
  if (DIR *d = opendir(dir.c_str())) {
    while (dirent *e = readdir(d)) n += std::strstr(e->d_name, ".cp.") != nullptr;
    closedir(d);
  }
  return n;
}

// Writes beyond a small size limit fail, as on a full file system.
struct FileSizeLimit {
  explicit FileSizeLimit(rlim_t bytes) : handler(signal(SIGXFSZ, SIG_IGN)) {
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit lim = old;
    lim.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &lim);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, handler);
  }
  sighandler_t handler;
  rlimit old;
};

int tag(const char *path, std::vector<const char *> lines, int comment = 0) {
  return replace_tag_lines("T", const_cast<char *const *>(lines.data()), static_cast<int32_t>(lines.size()),
                           path, comment);
}

struct Edit {
  const char *what;
  const char *before;  // null: no file
  std::function<int(const char *)> edit;
  int result;
  const char *after;   // null: as before
  const char *err = "";  // part of what stderr shows
};

const std::string kBig(20000, 'v'), kLongFile = "T=1\n" + std::string(10000, 'x') + "\n";

const Edit kEdits[] = {
    {"tag replaced", "a\nT=1\nb\n#T=0\n", [](auto p) { return tag(p, {"T=2"}); }, 2, "a\nT=2\nb\n"},
    {"tag replaced commented", "a\nT=1\nb\n#T=0\n", [](auto p) { return tag(p, {"T=2"}, 1); }, 2, "a\n#T=2\nb\n"},
    {"untagged kept", "  in\n\n\t\nkeep\n  #T=9\n  T=1\n", [](auto p) { return tag(p, {"T=5", "T=6"}); }, 1,
     "  in\n\n\t\nkeep\n  #T=9\nT=5\nT=6\n"},
    {"tag appended", "a\n", [](auto p) { return tag(p, {"T=2"}); }, 1, "a\n\n\nT=2\n"},
    {"tag to new file", nullptr, [](auto p) { return tag(p, {"T=2"}); }, 1, "\n\nT=2\n"},
    {"comment on", "T=1\n#T=0\n  #T=2\nx\n", [](auto p) { return set_tag_comment("T", p, 1); }, 2,
     "#T=1\n#T=0\n  #T=2\nx\n"},
    {"comment off", "T=1\n#T=0\n  #T=2\nx\n", [](auto p) { return set_tag_comment("T", p, 0); }, 2,
     "T=1\nT=0\n  #T=2\nx\n"},
    {"no such tag", "x\n", [](auto p) { return set_tag_comment("Q", p, 0); }, 0, nullptr},
    {"full disk, long line", "a\nT=1\nb\n", [](auto p) { FileSizeLimit l(4096); return tag(p, {kBig.c_str()}); },
     -2, nullptr, "replace_tag_lines: file not changed. 10"},
    {"full disk, long file", kLongFile.c_str(), [](auto p) { FileSizeLimit l(4096); return tag(p, {"T=2"}); }, -2,
     nullptr, "replace_tag_lines: file not changed. 10"},
    {"line past the end", "one\ntwo\n", [](auto p) { return replace_line(3, "three", p); }, 0, nullptr},
    {"line", "one\ntwo\n", [](auto p) { return replace_line(2, "  it's a/b & c\\d\\t", p); }, 0,
     "one\nit's a/b & c\\d\\t\n"},
    {"key lines", "Port = 22\nPort=23\nPortX=1\n#Port=3\n",
     [](auto p) { return find_and_replace_line("Port", "Port = 2222", p); }, 0,
     "Port = 2222\nPort = 2222\nPortX=1\n#Port=3\n"},
    {"prefix is a regex", "abc 1\nabd 2\nxab 3\n", [](auto p) { return find_text_and_replace_line("ab.", "n & /", p); },
     0, "n & /\nn & /\nxab 3\n"},
    {"escaped regex", "abc\na.c\n", [](auto p) { return find_text_and_replace_line("a\\.c", "n", p); }, 0, "abc\nn\n"},
    {"prefix text", "a/b rest\nzz a/b\n", [](auto p) { return find_text_and_replace_text("a/b", "c&d\\1/e", p); }, 0,
     "c&d\\1/e rest\nzz a/b\n"},
    {"sed on missing file", nullptr, [](auto p) { return replace_line(1, "x", p); }, -512, nullptr,
     "sed did not change file: "},
    {"key sed on missing file", nullptr, [](auto p) { return find_and_replace_line("k", "x", p); }, 512, nullptr,
     "sed did not changed %s file\n: "},
    {"null arguments", "k=1\n",
     [](auto p) {
       return replace_line(1, nullptr, p) * 1000 + find_and_replace_line(nullptr, "x", p) * 100 +
              find_text_and_replace_text("k", nullptr, p) * 10 + set_tag_comment(nullptr, p, 0);
     },
     -1000 + 100 + 10 - 2, nullptr},
    {"out of memory", "k=1\n",
     [](auto p) {
       AllocFailure fail(0);
       return replace_line(1, "x", p) * 100 + find_and_replace_line("k", "x", p) * 10 +
              find_text_and_replace_line("k", "x", p);
     },
     -100 + 10 + 1, nullptr},
};

TEST(ConfigFiles, EditsChangeExactlyTheirLines) {
  for (const auto &e : kEdits) {
    SCOPED_TRACE(e.what);
    TempDir dir;
    const std::string p = dir.file("conf");
    if (e.before) write_file(p, e.before);
    FdCapture err(2);
    const int r = e.edit(p.c_str());
    const std::string msg = err.finish();
    EXPECT_EQ(r, e.result);
    const char *after = e.after ? e.after : e.before;
    if (after)
      EXPECT_EQ(read_file(p), after);
    else
      EXPECT_FALSE(file_exists(p));
    EXPECT_NE(msg.find(e.err), std::string::npos) << msg;
    EXPECT_EQ(copies_in(dir.path()), 0);
  }
}

// Arguments the shell or sed would otherwise take as commands; each tries to
// create pwn.
std::vector<std::string> hostile(const std::string &pwn) {
  return {"x'; touch '" + pwn + "'; '", "x\"; touch " + pwn + "; \"", "x $(touch " + pwn + ")",
          "x `touch " + pwn + "`",     "x\ntouch " + pwn,               "x/;w " + pwn + "\n",
          "x\nw " + pwn,               "x\\\nw " + pwn,                 "x/e touch " + pwn + "/"};
}

TEST(ConfigFiles, ArgumentsAndPathsAreLiteral) {
  TempDir dir;
  const std::string pwn = dir.file("pwned"), p = dir.file("conf");
  for (const auto &h : hostile(pwn)) {
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
    const std::string odd = dir.file(h);  // as a file name
    write_file(odd, "a\nT=1\n");
    EXPECT_EQ(tag(odd.c_str(), {"T=2"}), 1);
    EXPECT_EQ(find_and_replace_line("a", "b", odd.c_str()), 0);
    EXPECT_EQ(read_file(odd), "a\nT=2\n");
  }
  write_file(dir.file("-n"), "k=1\n");
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  const int r = replace_line(1, "k=3", "-n");  // a relative name that looks like an option
  ASSERT_EQ(chdir(cwd), 0);
  EXPECT_EQ(r, 0);
  EXPECT_EQ(read_file(dir.file("-n")), "k=3\n");
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
  EXPECT_EQ(replace_line(1, "b", link.c_str()), 0);
  struct stat st;
  ASSERT_EQ(lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(read_file(target), "b\nT=2\nk=2\n");
  ASSERT_EQ(stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(st.st_uid, root ? 4321u : geteuid());
  EXPECT_EQ(copies_in(dir.path()) + copies_in(dir.file("real")), 0);
}

TEST(ConfigFiles, FifosLoopsAndPlantedLinksAreRefused) {
  TempDir dir;
  const std::string fifo = dir.file("fifo"), loop = dir.file("loop"), victim = dir.file("victim");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_EQ(symlink("loop", loop.c_str()), 0);
  FdCapture err(2);
  EXPECT_EQ(tag(fifo.c_str(), {"T=2"}), -2);  // never read (no hang) nor replaced
  EXPECT_EQ(tag(loop.c_str(), {"T=2"}), -2);
  EXPECT_NE(err.finish().find("file not changed. 1:"), std::string::npos);
  struct stat st;
  EXPECT_TRUE(lstat(fifo.c_str(), &st) == 0 && S_ISFIFO(st.st_mode));

  // Another user keeps linking every name the copy may take to root's file,
  // also after the leftovers were removed.
  write_file(victim, "precious\n");
  const std::string p = dir.file("conf");
  write_file(p, "a\nT=1\n");
  std::atomic<bool> stop{false};
  std::thread planter([&] {
    while (!stop)
      for (int n = 1; n <= 300; ++n) symlink(victim.c_str(), (p + ".cp." + std::to_string(n)).c_str());
  });
  FdCapture err2(2);  // refused attempts say so
  for (int i = 0; i < 10; ++i) {
    const int r = tag(p.c_str(), {"T=2"});
    EXPECT_TRUE(r == 1 || r == -2) << r;
  }
  stop = true;
  planter.join();
  err2.finish();
  EXPECT_EQ(read_file(victim), "precious\n");
  EXPECT_TRUE(read_file(p) == "a\nT=1\n" || read_file(p) == "a\nT=2\n") << read_file(p);
}

TEST(ConfigFiles, KilledMidEditLeavesTheOldOrTheNewContent) {
  std::string plain, commented;
  for (int i = 0; i < 8000; ++i) {
    const std::string l = (i % 10 ? "key" : "T") + std::to_string(i) + " = some value of the line\n";
    plain += l;
    commented += (i % 10 ? "" : "#") + l;
  }
  TempDir dir;
  const std::string p = dir.file("conf");
  write_file(p, plain);
  for (int trial = 0; trial < 30; ++trial) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0)
      for (int c = 1;; c ^= 1) set_tag_comment("T", p.c_str(), c);
    usleep(static_cast<useconds_t>(trial * 617 % 20000));
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    const std::string now = read_file(p);
    ASSERT_TRUE(now == plain || now == commented) << "trial " << trial << ": " << now.size() << " bytes";
  }
}

TEST(ConfigFiles, ReadingKeysAndLines) {
  TempDir dir;
  const std::string p = dir.file("conf"), missing = dir.file("missing");
  const std::string longv(40, 'L');
  write_file(p, "# h\n#Port=1\nPort=22\nPort 23\n  Port = 24\nPortX=25\nPort\nPort=" + longv + "\nOther=1\n");
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
  EXPECT_EQ(got, (std::vector<std::pair<std::string, int>>{
                     {"22", 3}, {"23", 4}, {"=", 5}, {"25", 6}, {"", 7}, {longv, 8}}));
  EXPECT_EQ(counter, 9);  // comments counted too

  write_file(p, "a\nkey 1\nb\nkey 2\n" + std::string(30, 'z') + "key\n");
  char buf[16];
  struct {
    int n, line;
    const char *text;
  } occurrences[] = {{2, 4, "key 2\n"}, {3, 7, nullptr}, {4, -1, nullptr}, {0, -1, nullptr}};
  for (const auto &o : occurrences) {
    EXPECT_EQ(find_line_occurrence("key", buf, sizeof buf, o.n, p.c_str()), o.line) << o.n;
    EXPECT_STREQ(o.text ? buf : nullptr, o.text);
  }
  EXPECT_EQ(find_line_occurrence("key", buf, sizeof buf, 1, missing.c_str()), -1);
  EXPECT_EQ(find_line_occurrence("key", nullptr, sizeof buf, 1, p.c_str()), -1);
  EXPECT_EQ(find_line("key", buf, p.c_str(), sizeof buf), 0);
  EXPECT_STREQ(buf, "key 1\n");
  EXPECT_EQ(find_line("nope", buf, p.c_str(), sizeof buf), -1);
  EXPECT_EQ(find_line("key", buf, missing.c_str(), sizeof buf), -2);
  EXPECT_EQ(find_line("key", buf, p.c_str(), 1), -1);  // no room to read into
}

TEST(ConfigFiles, TextHelpers) {
  char *out = nullptr;
  char *s = add_text(&out, "ab", "cd");
  EXPECT_EQ(out, s);
  EXPECT_STREQ(s, "abcd");
  free(s);
  s = remove_trail("a/b//", '/');
  EXPECT_STREQ(s, "a/b");
  free(s);
  TempDir dir;
  write_file(dir.file("f"), "a\n");
  std::FILE *f = std::fopen(dir.file("f").c_str(), "r+");
  EXPECT_GE(append_line("X", f) | append_line("Y", f), 0);
  std::fclose(f);
  EXPECT_EQ(read_file(dir.file("f")), "a\n\nX\nY");
}

}  // namespace
