// Listening sockets. A local socket file gets its mode from the daemon,
// never from the umask, and only ever replaces a stale file.
#pragma once

#include <sys/types.h>

#include <string>

namespace mgtd {

struct UnixSocket {
  int fd = -1;
  dev_t dev = 0;  // the socket file's identity: removed at the end only
  ino_t ino = 0;  // when it is still this one
};

// Binds and listens on path with mode 0660 and group `group` (when group >=
// 0) or 0600. The socket is bound in a private directory beside path, given
// its mode there and renamed into place, so it is never reachable with
// another mode. A socket file where nothing answers (or a symbolic link) is
// replaced; one where a daemon answers, or any other file, is refused.
bool listen_unix_socket(const std::string &path, long group, UnixSocket &out, std::string &error);

// Removes path when it is still the socket file we made.
void remove_unix_socket(const std::string &path, const UnixSocket &s);

// Binds TCP on an IPv4 address; port 0 picks one, stored back in port.
int listen_tcp_socket(const std::string &addr, int &port, std::string &error);

}  // namespace mgtd
