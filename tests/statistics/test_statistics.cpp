// System statistics: the real free, mpstat and statvfs, and the readers of
// their output against a table of well-formed and malformed texts.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <sys/statvfs.h>

#include "support/harness.hpp"
#include "util_linux.h"
#include "util_linux/statistics.hpp"

using testsupport::SyslogCapture;

namespace {

std::string mpstat(const std::string &idle) {
  return "Linux 6.1.0 (box) \t01/02/24 \t_ppc_\t(2 CPU)\n\n"
         "10:00:00     CPU    %user   %nice    %sys %iowait    %irq   %soft  %steal   %idle\n"
         "10:00:00     all     1.00    0.00    0.50    0.00    0.00    0.00    0.00   " + idle + "\n";
}

TEST(Statistics, FreeOutputs) {
  const char *total = "cannot convert total memory value: ", *used = "cannot convert used memory value: ",
             *no_total = "cannot get total memory : ", *no_used = "cannot get used memory : ";
  struct {
    std::string output;
    int percent;
    const char *message = nullptr;
  } cases[] = {
      {"  total used free shared buffers cached\nMem: 30 25 5 0 8 10\n-/+ buffers/cache: 7 23\n", 23},  // procps 3
      {"  total used free shared buff/cache available\nMem: 1000 600 100 10 300 250\nSwap: 9 9 9\n", 75},  // 4
      {"h\nMem:\t200\t1\n-/+\tbuffers/cache:\t\t100\t50\n", 50},  // tabs separate fields too
      {"h\nMem: 30 25 5\n-/+ buffers/cache: 0 30\n", -1, used},
      {"", -1, no_total},
      {"h\nMem:\n", -1, no_total},
      {"h\nMem: lots 5\n-/+ buffers/cache: 1 2\n", -1, total},
      {"h\nMem:\t0\t5\n-/+ buffers/cache: 1 2\n", -1, total},
      {"h\nMem: 30 25\n", -1, no_used},
      {"h\nMem: 30 25\n-/+ buffers/cache:\n", -1, no_used},
      {"h total used free\nMem: 30 25 5\nSwap: 0 0 0\n", -1, used},  // no "available": the swap row
      {"h available\nMem: 300 -9223372036854775808\n", -1, used},    // total - available overflows
  };
  SyslogCapture log;
  for (const auto &c : cases) {
    log.clear();
    EXPECT_EQ(pl::parse_free_output(c.output), c.percent) << c.output;
    EXPECT_TRUE(c.message ? log.contains_substr(c.message) : log.lines().empty()) << c.output << log.dump();
  }
}

TEST(Statistics, MpstatOutputs) {
  const std::string padded(8192, ' ');
  struct {
    std::string output;
    int busy;
  } cases[] = {
      {mpstat("98.50"), 2}, {mpstat("97.60"), 2}, {mpstat("97.40"), 3}, {mpstat("100.00"), 0}, {mpstat("0.00"), 100},
      {"12:00:00 AM  CPU  %usr  %idle\n12:00:01 AM  all  3.00  90.00\n", 10},  // no "(N CPU)" line
      {"CPU %usr %idle 0 3.00 75.20", 25},  // no "all" row: the next row
      {"CPU %idle all 40.0" + padded, 60},
      {padded + "CPU %idle all 40.0", -1},  // beyond the first 8192 bytes
      {std::string("CPU %idle\0 all 40.0", 19), -1},  // the text ends at a NUL
      {"", -1}, {"Linux (2 CPU)\n\n10:00 CPU %usr %sys\n10:00 all 1 2\n", -1}, {"no heading %idle\n", -1},
      {"CPU %usr %idle\nall 1.0", -1}, {mpstat("n/a"), -1}, {mpstat("nan"), -1}, {mpstat("1e30"), -1},
  };
  SyslogCapture log;
  for (const auto &c : cases) EXPECT_EQ(pl::parse_mpstat_output(c.output), c.busy) << c.output;
}

TEST(Statistics, RealProgramsAndFileSystem) {
  if (std::system("command -v free >/dev/null && command -v mpstat >/dev/null") != 0)
    GTEST_SKIP() << "needs free (procps) and mpstat (sysstat)";
  SyslogCapture log;
  const int32_t mem = UTIL_GetMemUtilization(), cpu = UTIL_GetCPUUtilization();
  EXPECT_TRUE(mem >= 0 && mem <= 100) << mem << log.dump();
  // The idle column of the "all" row, read independently.
  testsupport::TempDir dir;
  ASSERT_EQ(std::system(("mpstat | awk '/ all /{print 100.5 - $NF}' >" + dir.file("busy")).c_str()), 0);
  EXPECT_NEAR(cpu, std::atof(testsupport::read_file(dir.file("busy")).c_str()), 1) << log.dump();

  struct statvfs v;
  ASSERT_EQ(statvfs("/", &v), 0);
  const double free_bytes = double(v.f_bsize) * double(v.f_bfree), slack = 64 << 20;
  uint32_t used = 1, freeb = 1;
  ASSERT_EQ(UTILS_get_disk_stats(&used, &freeb), 0);
  EXPECT_NEAR(double(UTILS_get_free_disk_space()), free_bytes, slack);
  EXPECT_NEAR(freeb, std::min(free_bytes, 4294967295.0), slack);  // the largest rather than wrapped
  EXPECT_NEAR(used, std::min(double(v.f_bsize) * double(v.f_blocks) - free_bytes, 4294967295.0), slack);
  EXPECT_EQ(pl::disk_stats("/nonexistent/pam_lib", &used, &freeb), -1);
  EXPECT_REPORT(log, "err != OK", "util_linux", "UTILS_get_disk_stats", pl::kDiskStatsReportLine);
}

}  // namespace
