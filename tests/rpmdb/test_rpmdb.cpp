// Package database queries against a private RPM database built with
// rpmbuild and "rpm --justdb", install times frozen with faketime.
#include <gtest/gtest.h>
#include <rpm/header.h>
#include <rpm/rpmdb.h>
#include <rpm/rpmlib.h>
#include <rpm/rpmmacro.h>
#include <rpm/rpmts.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/harness.hpp"
#include "util_linux.h"

using testsupport::SyslogCapture;
using testsupport::TempDir;

namespace {

// Builds the database once; "" when it is ready, else what went wrong.
std::string build_database(const TempDir &dir) {
  if (std::system("(command -v rpmbuild && command -v rpm && command -v faketime) >/dev/null 2>&1") != 0)
    return "skip";
  setenv("TZ", "UTC", 1);
  tzset();
  // Database order is installation order; the install hours are chosen apart.
  struct {
    const char *name, *version, *release;
    int hour;
  } installs[] = {
      {"alpha", "1.0", "1", 13}, {"alpha", "3.0", "1", 15}, {"alpha", "2.0", "1", 14}, {"beta", "1.0", "1", 14},
      {"beta", "2.0", "1", 13},  {"gamma", "1.0", "1", 13}, {"gamma", "2.0", "1", 14}, {"delta", "1.0", "1", 12},
      {"delta", "2.0", "1", 12}, {"owner", "4.2", "7", 12},
  };
  const std::string db = dir.file("db"), log = " >>" + dir.file("log") + " 2>&1";
  std::vector<std::string> commands = {"rpm --dbpath " + db + " --initdb"};
  for (const auto &i : installs) {
    const std::string name = std::string("pltest-") + i.name, recipe = dir.file(name + i.version + ".spec");
    const std::string file = name == "pltest-owner" ? "/opt/pltest/owned.txt" : "";
    testsupport::write_file(recipe, "Name: " + name + "\nVersion: " + i.version + "\nRelease: " + i.release +
                                        "\nSummary: test\nLicense: none\nBuildArch: noarch\n%description\nTest.\n" +
                                        (file.empty() ? "" : "%install\nmkdir -p %{buildroot}/opt/pltest\necho > %{buildroot}" +
                                                                 file) + "\n%files\n" + file + "\n");
    commands.push_back("rpmbuild --define '_topdir " + dir.file("top") + "' --nodeps -bb " + recipe);
    // A frozen clock: "@T" would start a running one, and a slow rpm would stamp a later second.
    commands.push_back("faketime -f '2020-09-13 " + std::to_string(i.hour) + ":26:40' rpm --dbpath " + db +
                       " -i --justdb --nodeps --oldpackage --noscripts " + dir.file("top/RPMS/noarch/") + name + "-" +
                       i.version + "-" + i.release + ".noarch.rpm");
  }
  for (const auto &c : commands)
    if (std::system((c + log).c_str()) != 0) return "failed: " + c + "\n" + testsupport::read_file(dir.file("log"));
  rpmReadConfigFiles(nullptr, nullptr);
  rpmPushMacro(nullptr, "_dbpath", nullptr, db.c_str(), RMIL_CMDLINE);
  return "";
}

class RpmDb : public ::testing::Test {
  void SetUp() override {
    static TempDir dir;
    static const std::string status = build_database(dir);
    if (status == "skip") GTEST_SKIP() << "needs rpmbuild, rpm and faketime (Debian packages rpm, faketime)";
    ASSERT_EQ(status, "");
  }
};

TEST_F(RpmDb, InstanceInstalledLastWins) {
  struct {
    const char *name, *version, *time;
    int count;
  } cases[] = {
      {"pltest-alpha", "3.0-1", "13/Sep/20-15:26:40", 3},  // times 1, 3, 2
      {"pltest-beta", "1.0-1", "13/Sep/20-14:26:40", 2},   // newer first
      {"pltest-gamma", "2.0-1", "13/Sep/20-14:26:40", 2},  // newer last
      {"pltest-delta", "1.0-1", "13/Sep/20-12:26:40", 2},  // same time: first met
      {"pltest-owner", "4.2-7", "13/Sep/20-12:26:40", 1},
      {"pltest-none", "keep", "keep", 0},
  };
  SyslogCapture log;
  for (const auto &c : cases) {
    char version[32] = "keep", when[32] = "keep", cut[4] = "kee", small[18] = "x";
    EXPECT_EQ(find_rpmdb_package_info(c.name, version, sizeof version, when, sizeof when), c.count ? 0 : -1);
    EXPECT_STREQ(version, c.version) << c.name;
    EXPECT_STREQ(when, c.time) << c.name;
    EXPECT_EQ(rpmdb_count_packages(c.name), c.count) << c.name;
    find_rpmdb_package_info(c.name, cut, sizeof cut, small, sizeof small);
    EXPECT_EQ(cut, std::string(c.version).substr(0, 3)) << c.name;  // cut to the buffer, terminated
    EXPECT_STREQ(small, c.count ? "" : "x") << c.name;               // a time text needs 19 bytes
  }
  EXPECT_EQ(find_rpmdb_package_info("pltest-alpha", nullptr, 0, nullptr, 0), 0);
  EXPECT_TRUE(log.lines().empty()) << log.dump();
}

TEST_F(RpmDb, FileOwnersAndHeaderStrings) {
  char owned[32] = "", nobody[32] = "keep";
  EXPECT_EQ(find_rpmdb_file_version("/opt/pltest/owned.txt", owned, sizeof owned), 0);
  EXPECT_EQ(find_rpmdb_file_version("/opt/pltest/nobody.txt", nobody, sizeof nobody), -1);
  EXPECT_EQ(std::string(owned) + nobody, "4.2-7keep");
  rpmts ts = rpmtsCreate();
  rpmdbMatchIterator mi = rpmtsInitIterator(ts, RPMTAG_NAME, "pltest-owner", 0);
  Header h = rpmdbNextIterator(mi);
  ASSERT_NE(h, nullptr);
  EXPECT_STREQ(readHeaderString(h, RPMTAG_NAME), "pltest-owner");
  EXPECT_EQ(readHeaderString(h, RPMTAG_BASENAMES), nullptr);    // string array
  EXPECT_EQ(readHeaderString(h, RPMTAG_INSTALLTIME), nullptr);  // number
  rpmdbFreeIterator(mi);
  rpmtsFree(ts);
}

}  // namespace
