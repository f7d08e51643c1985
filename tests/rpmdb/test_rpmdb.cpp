// Package database queries against a private RPM database built with
// rpmbuild and "rpm --justdb", install times set with faketime.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <rpm/header.h>
#include <rpm/rpmdb.h>
#include <rpm/rpmio.h>
#include <rpm/rpmlib.h>
#include <rpm/rpmmacro.h>
#include <rpm/rpmts.h>
#include <string>

#include "support/harness.hpp"
#include "util_linux.h"

using testsupport::SyslogCapture;
using testsupport::TempDir;

namespace {

constexpr long kT = 1600000000;  // 13/Sep/20-12:26:40 UTC
constexpr long kHour = 3600;

class RpmDb : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (std::system("(command -v rpmbuild && command -v rpm && command -v faketime) >/dev/null 2>&1") != 0) {
      skip_ = "needs rpmbuild, rpm and faketime (Debian packages rpm, faketime)";
      return;
    }
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    dir_ = new TempDir;
    db_ = dir_->file("db");
    log_ = dir_->file("commands.log");
    if (!run("rpm --dbpath " + db_ + " --initdb")) return;

    // Database order is installation order; the times are chosen apart.
    struct Install {
      const char *name, *version;
      long time;
    } installs[] = {
        {"pltest-alpha", "1.0", kT + 1 * kHour}, {"pltest-alpha", "3.0", kT + 3 * kHour},
        {"pltest-alpha", "2.0", kT + 2 * kHour}, {"pltest-beta", "1.0", kT + 2 * kHour},
        {"pltest-beta", "2.0", kT + 1 * kHour},  {"pltest-gamma", "1.0", kT + 1 * kHour},
        {"pltest-gamma", "2.0", kT + 2 * kHour}, {"pltest-delta", "1.0", kT},
        {"pltest-delta", "2.0", kT},
    };
    for (const auto &i : installs)
      if (!install(build(i.name, i.version, "1", ""), i.time)) return;
    if (!install(build("pltest-owner", "4.2", "7", "/opt/pltest/owned.txt"), kT)) return;
    std::string notime = build("pltest-notime", "5.1", "3", "/opt/pltest/notime.txt");
    if (notime.empty()) return;

    rpmReadConfigFiles(nullptr, nullptr);
    rpmPushMacro(nullptr, "_dbpath", nullptr, db_.c_str(), RMIL_CMDLINE);
    import_without_install_time(notime);
  }

  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
    rpmFreeMacros(nullptr);
    rpmFreeRpmrc();
  }

  void SetUp() override {
    if (!skip_.empty()) GTEST_SKIP() << skip_;
    ASSERT_TRUE(error_.empty()) << error_ << "\n" << testsupport::read_file(log_);
  }

  static bool run(const std::string &cmd) {
    if (std::system((cmd + " >>" + log_ + " 2>&1").c_str()) == 0) return true;
    error_ = "failed: " + cmd;
    return false;
  }

  // Builds a tiny noarch package, owning `file` when given; its path or "".
  static std::string build(const std::string &name, const std::string &version, const std::string &release,
                           const std::string &file) {
    std::string recipe = dir_->file(name + "-" + version + ".spec");
    std::string text = "Name: " + name + "\nVersion: " + version + "\nRelease: " + release +
                       "\nSummary: pam_lib test package\nLicense: none\nBuildArch: noarch\n"
                       "%description\nTest package.\n";
    if (!file.empty()) {
      text += "%install\nmkdir -p %{buildroot}$(dirname " + file + ")\necho data > %{buildroot}" + file + "\n";
    }
    text += "%files\n" + file + "\n";
    testsupport::write_file(recipe, text);
    std::string top = dir_->file("top");
    if (!run("rpmbuild --define '_topdir " + top + "' --nodeps -bb " + recipe)) return "";
    return top + "/RPMS/noarch/" + name + "-" + version + "-" + release + ".noarch.rpm";
  }

  static bool install(const std::string &pkg, long when) {
    if (pkg.empty()) return false;
    // A frozen clock ("-f" with an absolute time, read in TZ=UTC like the
    // rest of the suite): "@T" would start a running clock at T, and a slow
    // rpm would then stamp a later second.
    std::time_t t = when;
    struct tm utc;
    char stamp[32];
    if (!gmtime_r(&t, &utc) || std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &utc) == 0) return false;
    return run("faketime -f '" + std::string(stamp) + "' rpm --dbpath " + db_ +
               " -i --justdb --nodeps --oldpackage --noscripts " + pkg);
  }

  // A header read from the package file carries no install time; importing
  // it as it is gives an installed package without one.
  static void import_without_install_time(const std::string &pkg) {
    rpmts ts = rpmtsCreate();
    rpmtsSetVSFlags(ts, _RPMVSF_NOSIGNATURES | _RPMVSF_NODIGESTS);
    Header h = nullptr;
    FD_t fd = Fopen(pkg.c_str(), "r.ufdio");
    if (!fd || rpmReadPackageFile(ts, fd, pkg.c_str(), &h) != RPMRC_OK || !h) {
      error_ = "cannot read " + pkg;
    } else if (rpmtsOpenDB(ts, O_RDWR) != 0) {
      error_ = "cannot open the database for writing";
    } else {
      rpmtxn txn = rpmtxnBegin(ts, RPMTXN_WRITE);
      if (!txn || rpmtsImportHeader(txn, h, 0) != RPMRC_OK) error_ = "cannot import " + pkg;
      rpmtxnEnd(txn);
    }
    if (fd) Fclose(fd);
    headerFree(h);
    rpmtsFree(ts);
  }

  static inline TempDir *dir_ = nullptr;
  static inline std::string db_, log_, skip_, error_;
  SyslogCapture syslog_;
};

TEST_F(RpmDb, MissingPackageOrFile) {
  char version[32] = "keep", when[32] = "keep";
  EXPECT_EQ(find_rpmdb_package_info("pltest-none", version, sizeof version, when, sizeof when), -1);
  EXPECT_STREQ(version, "keep");
  EXPECT_STREQ(when, "keep");
  EXPECT_EQ(find_rpmdb_file_version("/opt/pltest/nobody.txt", version, sizeof version), -1);
  EXPECT_STREQ(version, "keep");
  EXPECT_EQ(rpmdb_count_packages("pltest-none"), 0);
  EXPECT_TRUE(syslog_.lines().empty()) << syslog_.dump();
}

TEST_F(RpmDb, InstanceInstalledLastWins) {
  struct Case {
    const char *name, *version, *time;
    int count;
  } cases[] = {
      {"pltest-alpha", "3.0-1", "13/Sep/20-15:26:40", 3},  // times 1, 3, 2
      {"pltest-beta", "1.0-1", "13/Sep/20-14:26:40", 2},   // newer first
      {"pltest-gamma", "2.0-1", "13/Sep/20-14:26:40", 2},  // newer last
      {"pltest-delta", "1.0-1", "13/Sep/20-12:26:40", 2},  // same time: first met
      {"pltest-owner", "4.2-7", "13/Sep/20-12:26:40", 1},
  };
  for (const auto &c : cases) {
    char version[32] = "", when[32] = "";
    EXPECT_EQ(find_rpmdb_package_info(c.name, version, sizeof version, when, sizeof when), 0) << c.name;
    EXPECT_STREQ(version, c.version) << c.name;
    EXPECT_STREQ(when, c.time) << c.name;
    EXPECT_EQ(rpmdb_count_packages(c.name), c.count) << c.name;
  }
  EXPECT_TRUE(syslog_.lines().empty()) << syslog_.dump();
}

TEST_F(RpmDb, BuffersAreOptionalAndBounded) {
  EXPECT_EQ(find_rpmdb_package_info("pltest-alpha", nullptr, 0, nullptr, 0), 0);
  char version[4] = "xyz", when[19];
  EXPECT_EQ(find_rpmdb_package_info("pltest-alpha", version, sizeof version, nullptr, 0), 0);
  EXPECT_STREQ(version, "3.0");  // cut to the buffer, terminated
  EXPECT_EQ(find_rpmdb_package_info("pltest-alpha", nullptr, 0, when, sizeof when), 0);
  EXPECT_STREQ(when, "13/Sep/20-15:26:40");  // 19 bytes hold the time text
}

TEST_F(RpmDb, HeaderWithoutInstallTime) {
  char version[32] = "", when[32] = "keep";
  EXPECT_EQ(find_rpmdb_package_info("pltest-notime", version, sizeof version, when, sizeof when), 0);
  EXPECT_STREQ(version, "5.1-3");
  EXPECT_STREQ(when, "");
  EXPECT_TRUE(syslog_.contains(LOG_USER | LOG_WARNING,
                               "find_rpmdb_package_info: no valid install time for package pltest-notime"))
      << syslog_.dump();

  syslog_.clear();
  char fversion[32] = "";
  EXPECT_EQ(find_rpmdb_file_version("/opt/pltest/notime.txt", fversion, sizeof fversion), 0);
  EXPECT_STREQ(fversion, "5.1-3");
  EXPECT_TRUE(syslog_.lines().empty()) << syslog_.dump();
}

TEST_F(RpmDb, FileOwnerVersion) {
  char version[32] = "";
  EXPECT_EQ(find_rpmdb_file_version("/opt/pltest/owned.txt", version, sizeof version), 0);
  EXPECT_STREQ(version, "4.2-7");
  EXPECT_EQ(find_rpmdb_file_version("/opt/pltest/owned.txt", nullptr, 0), 0);
}

TEST_F(RpmDb, ReadHeaderString) {
  rpmts ts = rpmtsCreate();
  rpmdbMatchIterator mi = rpmtsInitIterator(ts, RPMTAG_NAME, "pltest-owner", 0);
  Header h = rpmdbNextIterator(mi);
  ASSERT_NE(h, nullptr);
  const char *name = readHeaderString(h, RPMTAG_NAME);
  ASSERT_NE(name, nullptr);
  EXPECT_STREQ(name, "pltest-owner");
  EXPECT_STREQ(readHeaderString(h, RPMTAG_VERSION), "4.2");
  EXPECT_EQ(readHeaderString(h, RPMTAG_BASENAMES), nullptr);    // string array
  EXPECT_EQ(readHeaderString(h, RPMTAG_SUMMARY), nullptr);      // internationalised string
  EXPECT_EQ(readHeaderString(h, RPMTAG_INSTALLTIME), nullptr);  // number
  EXPECT_EQ(readHeaderString(h, RPMTAG_URL), nullptr);          // absent
  rpmdbFreeIterator(mi);
  rpmtsFree(ts);
}

}  // namespace
