/* Connecting to the daemon on a socket path of the host's choosing; shared
 * by the example programs. */
#ifndef EXAMPLES_CONNECT_DAEMON_H
#define EXAMPLES_CONNECT_DAEMON_H

#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

/* guide: connect */
/* A socket connected to the daemon listening at path, or -1. */
static inline int connect_daemon(const char *path) {
  struct sockaddr_un addr = {.sun_family = AF_UNIX};
  if (strlen(path) >= sizeof addr.sun_path) return -1;
  strcpy(addr.sun_path, path);
  int sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (sock < 0) return -1;
  if (connect(sock, (struct sockaddr *)&addr, sizeof addr) != 0) {
    close(sock);
    return -1;
  }
  /* Whoever listens there must be root or this host's own user: the library
   * checks that for client_Init, never for a socket passed to set_socket. */
  struct ucred peer;
  socklen_t len = sizeof peer;
  if (getsockopt(sock, SOL_SOCKET, SO_PEERCRED, &peer, &len) != 0 ||
      (peer.uid != 0 && peer.uid != geteuid())) {
    close(sock);
    return -1;
  }
  return sock;
}
/* guide end */

#endif
