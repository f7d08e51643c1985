// NFS mounts with fake "mount" and "umount" first on PATH.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "processes/fake_commands.hpp"
#include "support/harness.hpp"
#include "util_linux.h"

using namespace testsupport;
using testing::ElementsAre;

namespace {

constexpr int kErr = LOG_USER | LOG_ERR;
constexpr int kNotice = LOG_USER | LOG_NOTICE;

bool is_dir(const std::string &p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

class Nfs : public ::testing::Test {
 protected:
  FakeCommands fake{{"mount", "umount"}};
  TempDir dir;
  SyslogCapture cap;
};

TEST_F(Nfs, CleanExistingDirectory) {
  const std::string mp = dir.file("mp");
  ASSERT_EQ(mkdir(mp.c_str(), 0755), 0);
  fake.set_status("umount", 1);  // nothing mounted there
  EXPECT_EQ(clean_mountPoint(mp.c_str(), 0), 0);
  EXPECT_TRUE(cap.lines().empty()) << cap.dump();
  EXPECT_EQ(clean_mountPoint(mp.c_str(), 1), 0);
  EXPECT_THAT(cap.lines(), testing::SizeIs(1));
  EXPECT_TRUE(cap.contains(kNotice, mp + " forced directory unmount failed: exit code 256"))
      << cap.dump();
  EXPECT_THAT(fake.calls("umount"), ElementsAre("[" + mp + "] ", "[-f] [" + mp + "] "));
  EXPECT_EQ(clean_mountPoint(nullptr, 1), -1);
}

TEST_F(Nfs, CreatesMissingLevels) {
  const std::string one = dir.file("one");
  EXPECT_EQ(clean_mountPoint(one.c_str(), 0), 0);
  EXPECT_TRUE(is_dir(one));
  EXPECT_THAT(cap.lines(), testing::SizeIs(1));
  EXPECT_TRUE(cap.contains(kNotice, "NFS mount point directory '" + one + "' created."));

  cap.clear();
  const std::string parent = dir.file("p"), two = parent + "/mp";
  EXPECT_EQ(clean_mountPoint(two.c_str(), 0), 0);
  EXPECT_TRUE(is_dir(two));
  ASSERT_EQ(cap.lines().size(), 2u) << cap.dump();
  EXPECT_EQ(cap.lines()[0].text, "NFS mount point parent directory '" + parent + "' created.");
  EXPECT_EQ(cap.lines()[0].priority, kNotice);
  EXPECT_EQ(cap.lines()[1].text, "NFS mount point directory '" + two + "' created.");
  EXPECT_TRUE(fake.calls("umount").empty());
}

TEST_F(Nfs, CannotCreate) {
  const std::string deep = dir.file("a/b/mp");
  EXPECT_EQ(clean_mountPoint(deep.c_str(), 0), -1);
  EXPECT_TRUE(cap.contains(
      kErr, "can't create mount point '" + deep + "' parent directory: No such file or directory"))
      << cap.dump();
  EXPECT_FALSE(file_exists(dir.file("a")));

  const std::string plain = dir.file("plain");
  write_file(plain, "x");
  EXPECT_EQ(clean_mountPoint(plain.c_str(), 0), -1);
  EXPECT_TRUE(cap.contains(kErr, "can't create mount point '" + plain + "' directory: File exists"))
      << cap.dump();

  // Nothing is mounted when the mount point cannot be prepared.
  EXPECT_EQ(nfs_clean_mount("srv:/export", deep.c_str(), 0), -1);
  EXPECT_TRUE(fake.calls("mount").empty());
}

TEST_F(Nfs, MountForms) {
  const std::string mp = dir.file("mp");
  EXPECT_EQ(nfs_mount("srv:/ro", mp.c_str(), 1), 0);
  EXPECT_EQ(nfs_mount("srv:/rw", mp.c_str(), 0), 0);
  EXPECT_EQ(nfs_mount("srv:/rw2", mp.c_str(), 2), 0);
  fake.set_status("mount", 32);
  EXPECT_EQ(nfs_mount("srv:/bad", mp.c_str(), 0), -1);
  EXPECT_TRUE(cap.contains(
      kErr, "NFS mount error code 8192 (source srv:/bad, mount point " + mp + ")"))
      << cap.dump();
  EXPECT_THAT(fake.calls("mount"),
              ElementsAre("[-t] [nfs] [-r] [srv:/ro] [" + mp + "] ",
                          "[-t] [nfs] [srv:/rw] [" + mp + "] ",
                          "[-t] [nfs] [srv:/rw2] [" + mp + "] ",
                          "[-t] [nfs] [srv:/bad] [" + mp + "] "));

  fake.set_status("mount", 0);
  const std::string fresh = dir.file("fresh");
  EXPECT_EQ(nfs_clean_mount("srv:/x", fresh.c_str(), 0), 0);
  EXPECT_TRUE(is_dir(fresh));
  EXPECT_EQ(fake.calls("mount").back(), "[-t] [nfs] [srv:/x] [" + fresh + "] ");
}

TEST_F(Nfs, ArgumentsAreLiteral) {
  const std::string pwn = dir.file("pwned");
  setenv("PL_PWN", pwn.c_str(), 1);  // names the file without a '/'
  const std::string mp = dir.file("m p;touch $PL_PWN;$(touch $PL_PWN)`touch $PL_PWN`'");
  ASSERT_EQ(clean_mountPoint(mp.c_str(), 1), 0);  // created
  ASSERT_EQ(clean_mountPoint(mp.c_str(), 1), 0);  // unmounted
  const std::string src = "srv:/e x;touch " + pwn + "'\"";
  EXPECT_EQ(nfs_mount(src.c_str(), mp.c_str(), 0), 0);
  EXPECT_THAT(fake.calls("umount"), ElementsAre("[-f] [" + mp + "] "));
  EXPECT_THAT(fake.calls("mount"), ElementsAre("[-t] [nfs] [" + src + "] [" + mp + "] "));
  // A source that would be read as an option is refused.
  EXPECT_EQ(nfs_mount("-oremount,rw", mp.c_str(), 0), -1);
  EXPECT_EQ(fake.calls("mount").size(), 1u);
  EXPECT_FALSE(file_exists(pwn));
}

}  // namespace
