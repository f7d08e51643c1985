// Connecting to the daemon on a socket path the front-end was given.
#pragma once

#include <cerrno>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace frontend {

// A socket connected to the daemon at path, or -1 with errno set. The
// library checks the peer only for its own client_Init family, so a
// front-end that connects by itself refuses a listener that is neither root
// nor its own user (EPERM): someone else may have bound a shared path first.
inline int connect_local(const std::string &path) {
  sockaddr_un addr{};
  if (path.size() >= sizeof addr.sun_path) {
    errno = ENAMETOOLONG;
    return -1;
  }
  int sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (sock < 0) return -1;
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  int error = 0;
  ucred peer{};
  socklen_t len = sizeof peer;
  if (connect(sock, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
    error = errno;
  else if (getsockopt(sock, SOL_SOCKET, SO_PEERCRED, &peer, &len) != 0)
    error = errno;
  else if (peer.uid != 0 && peer.uid != geteuid())
    error = EPERM;
  if (error == 0) return sock;
  close(sock);
  errno = error;
  return -1;
}

}  // namespace frontend
