#include "sockets.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace mgtd {

namespace {

bool to_addr(const std::string &path, sockaddr_un &sa) {
  sa = sockaddr_un{};
  sa.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof sa.sun_path) return false;
  std::memcpy(sa.sun_path, path.c_str(), path.size() + 1);
  return true;
}

// Whether a daemon accepts connections on the socket file at path.
bool answers(const sockaddr_un &sa) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  bool live = ::connect(fd, reinterpret_cast<const sockaddr *>(&sa), sizeof sa) == 0;
  ::close(fd);
  return live;
}

}  // namespace

bool listen_unix_socket(const std::string &path, long group, UnixSocket &out, std::string &error) {
  sockaddr_un sa;
  if (!to_addr(path, sa)) {
    error = "socket path too long: " + path;
    return false;
  }
  struct stat st{};
  if (::lstat(path.c_str(), &st) == 0) {
    if (S_ISSOCK(st.st_mode) && answers(sa)) {
      error = path + ": a daemon already listens there";
      return false;
    }
    if (!S_ISSOCK(st.st_mode) && !S_ISLNK(st.st_mode)) {
      error = path + ": exists and is not a socket";
      return false;
    }
  }
  auto slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
  std::string tmpl = dir + "/.mgtd-XXXXXX";
  std::vector<char> name(tmpl.begin(), tmpl.end());
  name.push_back('\0');
  if (!::mkdtemp(name.data())) {  // mode 0700: nobody else reaches inside
    error = dir + ": " + std::strerror(errno);
    return false;
  }
  const std::string private_dir = name.data();
  // Everything inside goes through a descriptor of that directory, so a
  // directory renamed under our feet cannot redirect a step.
  int dfd = ::open(private_dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  sockaddr_un tsa;
  int fd = -1;
  bool ok = dfd >= 0 && to_addr("/proc/self/fd/" + std::to_string(dfd) + "/s", tsa);
  if (ok) fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ok = ok && fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&tsa), sizeof tsa) == 0 &&
       (group < 0 || ::fchownat(dfd, "s", static_cast<uid_t>(-1), static_cast<gid_t>(group),
                                AT_SYMLINK_NOFOLLOW) == 0) &&
       ::fchmodat(dfd, "s", group < 0 ? 0600 : 0660, 0) == 0 && ::listen(fd, 64) == 0 &&
       ::renameat(dfd, "s", AT_FDCWD, path.c_str()) == 0 && ::lstat(path.c_str(), &st) == 0;
  int e = errno;
  if (dfd >= 0) {
    ::unlinkat(dfd, "s", 0);  // only left when something failed
    ::close(dfd);
  }
  ::rmdir(private_dir.c_str());
  if (!ok) {
    if (fd >= 0) ::close(fd);
    error = path + ": " + std::strerror(e);
    return false;
  }
  out = UnixSocket{fd, st.st_dev, st.st_ino};
  return true;
}

void remove_unix_socket(const std::string &path, const UnixSocket &s) {
  struct stat st{};
  if (::lstat(path.c_str(), &st) == 0 && st.st_dev == s.dev && st.st_ino == s.ino)
    ::unlink(path.c_str());
}

int listen_tcp_socket(const std::string &addr, int &port, std::string &error) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, addr.c_str(), &sa.sin_addr) != 1) {
    error = "not an IPv4 address: " + addr;
    return -1;
  }
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) < 0 ||
      ::bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) < 0 || ::listen(fd, 64) < 0) {
    error = "tcp " + addr + ":" + std::to_string(port) + ": " + std::strerror(errno);
    if (fd >= 0) ::close(fd);
    return -1;
  }
  socklen_t len = sizeof sa;
  ::getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
  port = ntohs(sa.sin_port);
  return fd;
}

}  // namespace mgtd
