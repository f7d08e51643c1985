// System statistics: kernel release, disk space, and the "free"/"mpstat"
// readers, run against fake programs first on PATH and the real ones.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/utsname.h>
#include <unistd.h>

#include "support/harness.hpp"
#include "util_linux.h"
#include "util_linux/statistics.hpp"

using testsupport::SyslogCapture;
using testsupport::TempDir;

namespace {

// The classic three-line "free" (procps 3.2) with a total of 30 and 7 in use
// without buffers and cache.
const char kClassicFree[] =
    "             total       used       free     shared    buffers     cached\n"
    "Mem:            30         25          5          0          8         10\n"
    "-/+ buffers/cache:          7         23\n"
    "Swap:         1000          0       1000\n";

// procps 4: no "-/+ buffers/cache" row, an "available" column instead.
const char kModernFree[] =
    "               total        used        free      shared  buff/cache   available\n"
    "Mem:        24683772      332876    24233160       10304      367992    24350896\n"
    "Swap:              0           0           0\n";

std::string mpstat_output(const std::string &idle) {
  return "Linux 6.1.0 (box) \t01/02/24 \t_ppc_\t(2 CPU)\n\n"
         "10:00:00     CPU    %user   %nice    %sys %iowait    %irq   %soft  %steal   %idle\n"
         "10:00:00     all     1.00    0.00    0.50    0.00    0.00    0.00    0.00   " + idle + "\n";
}

// Fake "free" and "mpstat" in a private directory at the front of PATH.
class FakePrograms : public ::testing::Test {
 protected:
  void SetUp() override {
    const char *p = std::getenv("PATH");
    saved_path_ = p ? p : "";
    bin_ = dir_.file("bin");
    ASSERT_EQ(::mkdir(bin_.c_str(), 0755), 0);
    ::setenv("PATH", (bin_ + ":" + saved_path_).c_str(), 1);
  }
  void TearDown() override { ::setenv("PATH", saved_path_.c_str(), 1); }

  void fake(const std::string &program, const std::string &output) {
    std::string data = dir_.file(program + ".out");
    testsupport::write_file(data, output);
    std::string script = bin_ + "/" + program;
    testsupport::write_file(script, "#!/bin/sh\ncat '" + data + "'\n");
    ASSERT_EQ(::chmod(script.c_str(), 0755), 0);
  }

  TempDir dir_;
  std::string bin_, saved_path_;
  SyslogCapture log_;
};

using MemUtilization = FakePrograms;
using CpuUtilization = FakePrograms;

TEST_F(MemUtilization, ClassicOutputUsesBuffersCacheRow) {
  fake("free", kClassicFree);
  EXPECT_EQ(UTIL_GetMemUtilization(), 23);  // 700 / 30, truncated
  EXPECT_TRUE(log_.lines().empty()) << log_.dump();
}

TEST_F(MemUtilization, ClassicZeroUsedFails) {
  fake("free",
       "             total       used       free\n"
       "Mem:            30         25          5\n"
       "-/+ buffers/cache:          0         30\n");
  EXPECT_EQ(UTIL_GetMemUtilization(), -1);
  EXPECT_TRUE(log_.contains_substr("cannot convert used memory value: ")) << log_.dump();
}

TEST_F(MemUtilization, ModernOutputUsesAvailableColumn) {
  fake("free", kModernFree);
  // (24683772 - 24350896) * 100 / 24683772
  EXPECT_EQ(UTIL_GetMemUtilization(), 1);
  fake("free",
       "               total        used        free      shared  buff/cache   available\n"
       "Mem:            1000         600         100          10         300         250\n"
       "Swap:           2000        1000        1000\n");
  EXPECT_EQ(UTIL_GetMemUtilization(), 75);  // not the swap row's 1000/1000
  EXPECT_TRUE(log_.lines().empty()) << log_.dump();
}

TEST_F(MemUtilization, MalformedOutputs) {
  struct Case {
    const char *output, *message;
  } cases[] = {
      {"", "cannot get total memory : "},
      {"heading only\n", "cannot get total memory : "},
      {"h\nMem:\n", "cannot get total memory : "},
      {"h\nMem: lots 5\n-/+ buffers/cache: 1 2\n", "cannot convert total memory value: "},
      {"h\nMem:\t0\t5\n-/+ buffers/cache: 1 2\n", "cannot convert total memory value: "},
      {"h\nMem: 30 25\n", "cannot get used memory : "},
      {"h\nMem: 30 25\n-/+ buffers/cache:\n", "cannot get used memory : "},
      // The written rule without an "available" column: the swap row's
      // third field, here 0.
      {"h total used free\nMem: 30 25 5\nSwap: 0 0 0\n", "cannot convert used memory value: "},
      // total - available would overflow.
      {"h available\nMem: 300 -9223372036854775808\n", "cannot convert used memory value: "},
  };
  for (const auto &c : cases) {
    log_.clear();
    EXPECT_EQ(pl::parse_free_output(c.output), -1) << c.output;
    EXPECT_TRUE(log_.contains_substr(c.message)) << c.output << "\n" << log_.dump();
  }
  // Tabs separate fields too; the newline stays with the last field.
  EXPECT_EQ(pl::parse_free_output("h\nMem:\t200\t1\n-/+\tbuffers/cache:\t\t100\t50\n"), 50);
}

TEST_F(CpuUtilization, IdleColumnRoundedAsWritten) {
  struct Case {
    const char *idle;
    int busy;
  } cases[] = {{"98.50", 2}, {"97.60", 2}, {"97.40", 3}, {"100.00", 0}, {"0.00", 100}};
  for (const auto &c : cases) {
    fake("mpstat", mpstat_output(c.idle));
    EXPECT_EQ(UTIL_GetCPUUtilization(), c.busy) << c.idle;
  }
  EXPECT_TRUE(log_.lines().empty()) << log_.dump();
}

TEST_F(CpuUtilization, HeadingRules) {
  // Without the "(N CPU)" first line, and with 12-hour times.
  EXPECT_EQ(pl::parse_mpstat_output("12:00:00 AM  CPU  %usr  %idle\n12:00:01 AM  all  3.00  90.00\n"), 10);
  // No "all" row: the next token after the heading is taken as the row start.
  EXPECT_EQ(pl::parse_mpstat_output("CPU %usr %idle 0 3.00 75.20"), 25);
  // Only the first 8192 bytes of the output count.
  std::string padded(8192, ' ');
  EXPECT_EQ(pl::parse_mpstat_output("CPU %idle all 40.0" + padded), 60);
  EXPECT_EQ(pl::parse_mpstat_output(padded + "CPU %idle all 40.0"), -1);
}

TEST_F(CpuUtilization, Failures) {
  struct Case {
    std::string output;
    const char *message;
  } cases[] = {
      {"", "did not find %idle flag in mpstat: "},
      {"Linux (2 CPU)\n\n10:00 CPU %usr %sys\n10:00 all 1 2\n", "did not find %idle flag in mpstat: "},
      {"no heading %idle\n", "did not find %idle flag in mpstat: "},
      {"CPU %usr %idle\nall 1.0", "cannot get cpu idle : "},
      {mpstat_output("n/a"), "cannot get cpu idle : "},
      {mpstat_output("nan"), "cannot get cpu idle : "},
      {mpstat_output("1e30"), "cannot get cpu idle : "},
  };
  for (const auto &c : cases) {
    log_.clear();
    fake("mpstat", c.output);
    EXPECT_EQ(UTIL_GetCPUUtilization(), -1) << c.output;
    EXPECT_TRUE(log_.contains_substr(c.message)) << c.output << "\n" << log_.dump();
  }
}

// The real programs, when the system has them.
bool on_path(const char *program) {
  std::string cmd = std::string("command -v ") + program + " >/dev/null 2>&1";
  return std::system(cmd.c_str()) == 0;
}

TEST(RealPrograms, FreeGivesAPercentage) {
  if (!on_path("free")) GTEST_SKIP() << "no \"free\" program on this system";
  SyslogCapture log;
  int32_t used = UTIL_GetMemUtilization();
  EXPECT_GE(used, 0) << log.dump();
  EXPECT_LE(used, 100);
}

TEST(RealPrograms, MpstatGivesBusyTimeOfItsIdleColumn) {
  if (!on_path("mpstat")) GTEST_SKIP() << "no \"mpstat\" program (sysstat) on this system";
  // The idle column of the "all" row, read independently.
  std::string out;
  {
    FILE *p = ::popen("mpstat", "r");
    ASSERT_NE(p, nullptr);
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    ::pclose(p);
  }
  size_t heading = out.find("%idle");
  ASSERT_NE(heading, std::string::npos) << out;
  size_t row = out.find(" all ", heading);
  ASSERT_NE(row, std::string::npos) << out;
  size_t eol = out.find('\n', row);
  std::string line = out.substr(row, eol == std::string::npos ? std::string::npos : eol - row);
  double idle = std::strtod(line.substr(line.find_last_of(' ') + 1).c_str(), nullptr);

  SyslogCapture log;
  int32_t busy = UTIL_GetCPUUtilization();
  ASSERT_GE(busy, 0) << log.dump();
  EXPECT_LE(busy, 100);
  // Averages since boot move slowly; allow one step across a rounding edge.
  EXPECT_NEAR(busy, static_cast<int>(100.5 - idle), 1) << out;
}

TEST(KernelRelease, CopiesWithStrncpyBounds) {
  struct utsname u;
  ASSERT_EQ(::uname(&u), 0);
  char whole[65];
  std::memset(whole, 'x', sizeof whole);
  ASSERT_EQ(get_kernel_release(whole, sizeof whole), 0);
  EXPECT_STREQ(whole, u.release);

  char small[6];
  std::memset(small, 'x', sizeof small);
  ASSERT_EQ(get_kernel_release(small, 4), 0);
  EXPECT_EQ(std::string(small, 4), std::string(u.release).substr(0, 4));
  EXPECT_EQ(small[4], 'x');  // no terminator when the text does not fit
}

TEST(DiskSpace, FiguresOfTheRootFileSystem) {
  struct statvfs v;
  ASSERT_EQ(::statvfs("/", &v), 0);
  uint64_t free_bytes = uint64_t(v.f_bsize) * v.f_bfree;
  uint64_t total = uint64_t(v.f_bsize) * v.f_blocks;
  auto clamp = [](uint64_t x) { return x > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(x); };

  // The root file system may change a little between the calls.
  uint64_t reported = UTILS_get_free_disk_space();
  EXPECT_NEAR(double(reported), double(free_bytes), 64.0 * 1024 * 1024);

  uint32_t used = 1, freeb = 1;
  ASSERT_EQ(UTILS_get_disk_stats(&used, &freeb), 0);
  EXPECT_NEAR(double(freeb), double(clamp(free_bytes)), 64.0 * 1024 * 1024);
  EXPECT_NEAR(double(used), double(clamp(total - free_bytes)), 64.0 * 1024 * 1024);
  if (free_bytes > 0xFFFFFFFFu + 128ull * 1024 * 1024) {
    EXPECT_EQ(freeb, 0xFFFFFFFFu);  // not wrapped
  }
  EXPECT_EQ(UTILS_get_disk_stats(nullptr, nullptr), 0);
}

TEST(DiskSpace, StatvfsFailureIsReported) {
  SyslogCapture log;
  uint32_t used = 7, freeb = 9;
  EXPECT_EQ(pl::disk_stats("/nonexistent/pam_lib", &used, &freeb), -1);
  EXPECT_EQ(used, 7u);
  EXPECT_EQ(freeb, 9u);
  EXPECT_REPORT(log, "err != OK", "util_linux", "UTILS_get_disk_stats", pl::kDiskStatsReportLine);
}

}  // namespace
