// Package database queries through librpm's public query interface. Every
// call opens its own transaction set and releases it before returning.
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <rpm/header.h>
#include <rpm/rpmdb.h>
#include <rpm/rpmtag.h>
#include <rpm/rpmtd.h>
#include <rpm/rpmts.h>
#include <type_traits>

#include "common/log.hpp"
#include "util_linux.h"

static_assert(std::is_same_v<Header, headerToken_s *>, "readHeaderString takes librpm's Header");

// librpm comes from the host process, and a host that makes no package
// query does not link it: in the shared library, weak references let such a
// host link and run with -lpam_lib alone, and the queries then fail instead.
#if defined(PAM_LIB_WEAK_HOST_LIBS)
#pragma weak rpmtsCreate
#pragma weak rpmtsFree
#pragma weak rpmtsInitIterator
#pragma weak rpmdbNextIterator
#pragma weak rpmdbFreeIterator
#pragma weak rpmdbGetIteratorCount
#pragma weak headerGetString
#pragma weak headerGetNumber
#pragma weak headerIsEntry
#pragma weak headerGet
#pragma weak rpmtdFreeData
#endif

namespace pl {
namespace {

// One syslog line per query that cannot run.
bool rpm_linked(const char *function) noexcept {
#if !defined(PAM_LIB_WEAK_HOST_LIBS)
  (void)function;
  return true;
#else
  if (rpmtsCreate && rpmtsFree && rpmtsInitIterator && rpmdbNextIterator && rpmdbFreeIterator &&
      rpmdbGetIteratorCount && headerGetString && headerGetNumber && headerIsEntry && headerGet && rpmtdFreeData)
    return true;
  log_msg(LOG_ERR, "%s: librpm is not linked into this program", function);
  return false;
#endif
}

struct TsFree {
  void operator()(rpmts ts) const noexcept { rpmtsFree(ts); }
};
struct IterFree {
  void operator()(rpmdbMatchIterator mi) const noexcept { rpmdbFreeIterator(mi); }
};
using UniqueTs = std::unique_ptr<std::remove_pointer_t<rpmts>, TsFree>;
using UniqueIter = std::unique_ptr<std::remove_pointer_t<rpmdbMatchIterator>, IterFree>;

// The iterator must be released before the set it came from.
struct Query {
  UniqueTs ts;
  UniqueIter mi;
  Query(rpmDbiTagVal tag, const char *key) : ts(rpmtsCreate()) {
    if (ts) mi.reset(rpmtsInitIterator(ts.get(), tag, key, 0));
  }
  ~Query() { mi.reset(); }
  Header next() { return mi ? rpmdbNextIterator(mi.get()) : nullptr; }
};

void write_version(Header h, char *buf, unsigned int size) {
  if (!buf) return;
  const char *version = headerGetString(h, RPMTAG_VERSION);
  const char *release = headerGetString(h, RPMTAG_RELEASE);
  if (version && release) std::snprintf(buf, size, "%s-%s", version, release);
}

bool install_time(Header h, int32_t &t) {
  if (!headerIsEntry(h, RPMTAG_INSTALLTIME)) return false;
  t = static_cast<int32_t>(static_cast<uint32_t>(headerGetNumber(h, RPMTAG_INSTALLTIME)));
  return true;
}

void write_time(int32_t t, char *buf, unsigned int size) {
  if (!buf || size == 0) return;
  std::time_t when = t;
  struct tm tm_local;
  // A text that does not fit leaves an empty string rather than leftovers.
  if (!localtime_r(&when, &tm_local) || std::strftime(buf, size, "%d/%b/%y-%H:%M:%S", &tm_local) == 0) buf[0] = '\0';
}

// The newest instance among the matches fills the buffers. -1 when nothing
// matches; `warn_name` set: a first match without install time is logged.
int newest_instance(rpmDbiTagVal tag, const char *key, char *version, unsigned int version_size, char *time_buf,
                    unsigned int time_size, const char *warn_name) {
  Query q(tag, key);
  Header h = q.next();
  if (!h) return -1;
  write_version(h, version, version_size);
  int32_t newest = 0;
  if (!install_time(h, newest)) {
    if (time_buf && time_size > 0) time_buf[0] = '\0';
    if (warn_name) log_msg(LOG_WARNING, "find_rpmdb_package_info: no valid install time for package %s", warn_name);
    return 0;
  }
  write_time(newest, time_buf, time_size);
  while ((h = q.next()) != nullptr) {
    int32_t t = 0;
    if (!install_time(h, t) || t <= newest) continue;
    newest = t;
    write_version(h, version, version_size);
    write_time(t, time_buf, time_size);
  }
  return 0;
}

}  // namespace
}  // namespace pl

extern "C" {

PAM_LIB_API int find_rpmdb_package_info(const char *name, char *version, unsigned int version_size, char *time_buf,
                                        unsigned int time_size) noexcept {
  if (!name || !pl::rpm_linked("find_rpmdb_package_info")) return -1;
  return pl::newest_instance(RPMTAG_NAME, name, version, version_size, time_buf, time_size, name);
}

PAM_LIB_API int find_rpmdb_file_version(const char *path, char *version, unsigned int version_size) noexcept {
  if (!path || !pl::rpm_linked("find_rpmdb_file_version")) return -1;
  return pl::newest_instance(RPMTAG_BASENAMES, path, version, version_size, nullptr, 0, nullptr);
}

PAM_LIB_API const char *readHeaderString(struct headerToken_s *header, int32_t tag) noexcept {
  if (!header || !pl::rpm_linked("readHeaderString")) return nullptr;
  struct rpmtd_s td;
  // Raw: an internationalised string keeps its own type instead of being
  // looked up into a plain string; minmem: the pointer stays in the header.
  if (!headerGet(header, static_cast<rpmTagVal>(tag), &td, HEADERGET_MINMEM | HEADERGET_RAW)) return nullptr;
  if (td.type == RPM_STRING_TYPE && !(td.flags & RPMTD_ALLOCED)) return static_cast<const char *>(td.data);
  rpmtdFreeData(&td);
  return nullptr;
}

PAM_LIB_API int rpmdb_count_packages(const char *name) noexcept {
  if (!name || !pl::rpm_linked("rpmdb_count_packages")) return 0;
  pl::Query q(RPMTAG_NAME, name);
  return q.mi ? rpmdbGetIteratorCount(q.mi.get()) : 0;
}

}  // extern "C"
