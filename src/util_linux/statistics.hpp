// System statistics: the parsers of the "free" and "mpstat" outputs, reachable
// without running the programs (tests and fuzzing feed them text).
#pragma once

#include <cstdint>
#include <string_view>

namespace pl {

// Memory in use in percent from the output of "free"; -1 with a syslog
// message when the text does not give the figures.
int32_t parse_free_output(std::string_view out) noexcept;

// Processor busy time in percent from the output of "mpstat" (only its first
// 8192 bytes count, as when it is read from the pipe); -1 with a message.
int32_t parse_mpstat_output(std::string_view out) noexcept;

// UTILS_get_disk_stats for the file system holding `path`.
int disk_stats(const char *path, uint32_t *used, uint32_t *free_bytes) noexcept;

// The report line of a failed statvfs in UTILS_get_disk_stats.
inline constexpr int kDiskStatsReportLine = 118;

}  // namespace pl
