// NFS mounts: preparing a mount point and mounting an export with the
// system's "mount" and "umount" commands. Source and mount point are quoted
// for the shell, so they are taken literally.
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <libgen.h>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>

#include "common/alloc.hpp"
#include "common/log.hpp"
#include "util_linux.h"
#include "util_linux/shell_quote.hpp"

namespace {

// The command in a heap string, or null when it cannot be had.
pl::MallocPtr<char> heap_command(const char *head, const char *arg1, const char *arg2,
                                 const char *tail) noexcept {
  try {
    std::string cmd = head;
    cmd += pl::shell_path(arg1);
    // Appended piece by piece: GCC 12 reports a false -Wrestrict overlap for
    // "literal" + std::string&& at -O3.
    if (arg2) {
      cmd += ' ';
      cmd += pl::shell_path(arg2);
    }
    cmd += tail;
    return pl::MallocPtr<char>(pl::dup_string(cmd));
  } catch (...) {
    return nullptr;
  }
}

}  // namespace

extern "C" {

PAM_LIB_API int clean_mountPoint(const char *mount_point, int force) noexcept {
  if (!mount_point) return -1;
  if (DIR *dir = ::opendir(mount_point)) {
    ::closedir(dir);
    auto command = heap_command(force ? "umount -f " : "umount ", mount_point, nullptr,
                                " 2>/dev/null");
    if (!command) {
      pl::log_msg(LOG_ERR, "can't allocate buffer for %s directory unmount", mount_point);
      return -1;
    }
    int r = system_unmasked(command.get());
    // Nothing mounted there makes umount fail too: only a forced unmount
    // is worth a note.
    if (r != 0 && force)
      pl::log_msg(LOG_NOTICE, "%s forced directory unmount failed: exit code %d", mount_point, r);
    return 0;
  }

  pl::MallocPtr<char> copy(pl::dup_string(mount_point));
  if (!copy) {
    errno = ENOMEM;
    pl::log_msg(LOG_ERR, "can't create mount point '%s' parent directory: %m", mount_point);
    return -1;
  }
  const char *parent = ::dirname(copy.get());
  if (::mkdir(parent, 0775) != 0) {
    if (errno != EEXIST) {
      pl::log_msg(LOG_ERR, "can't create mount point '%s' parent directory: %m", mount_point);
      return -1;
    }
  } else {
    pl::log_msg(LOG_NOTICE, "NFS mount point parent directory '%s' created.", parent);
  }
  if (::mkdir(mount_point, 0775) != 0) {
    pl::log_msg(LOG_ERR, "can't create mount point '%s' directory: %m", mount_point);
    return -1;
  }
  pl::log_msg(LOG_NOTICE, "NFS mount point directory '%s' created.", mount_point);
  return 0;
}

PAM_LIB_API int nfs_mount(const char *source, const char *mount_point, uint32_t flags) noexcept {
  if (!source || !mount_point) return -1;
  // A source that begins with '-' would be read as an option of "mount".
  if (source[0] == '-') {
    pl::log_msg(LOG_ERR, "NFS mount error code %d (source %s, mount point %s)", -1, source,
                mount_point);
    return -1;
  }
  auto command = heap_command((flags & 1U) ? "mount -t nfs -r " : "mount -t nfs ", source,
                              mount_point, "");
  if (!command) {
    pl::log_msg(LOG_ERR, "can't allocate buffer for %s directory mount", mount_point);
    return -1;
  }
  int r = system_unmasked(command.get());
  command.reset();
  if (r == 0) return 0;
  pl::log_msg(LOG_ERR, "NFS mount error code %d (source %s, mount point %s)", r, source,
              mount_point);
  return -1;
}

PAM_LIB_API int nfs_clean_mount(const char *source, const char *mount_point, uint32_t flags) noexcept {
  int r = clean_mountPoint(mount_point, 0);
  if (r != 0) return r;
  return nfs_mount(source, mount_point, flags);
}

}  // extern "C"
