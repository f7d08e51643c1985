// Who is at the other end of a connection, as the kernel tells it, and how
// far the model lets that peer go. Claims in request headers never raise it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "model.hpp"

namespace mgtd {

struct Peer {
  enum class Kind { Local, Tcp };
  Kind kind = Kind::Local;
  int64_t uid = 0, pid = 0, gid = 0;  // Local: SO_PEERCRED at accept
  std::vector<int64_t> groups;        // Local: supplementary groups, when known
  std::string addr;                   // Tcp: peer address and port
  int port = 0;

  // Until grant() runs, a peer may do everything: what callers of serve()
  // without a socket (unit tests, the fuzz target) get.
  int32_t ceiling = kLevelAdmin;  // highest level it may act at
  bool login = true;              // may make the login sequence's calls
  bool privileged = true;         // uid 0 or the daemon's own: no per-uid cap

  // "unix uid=U pid=P" or "tcp ADDR:PORT": what the log says about it.
  std::string describe() const;
};

// Fills in ceiling, login and privileged: uid 0 and the daemon's own uid may
// do everything; another local peer gets the best of the model's grants for
// its uid and its groups; a TCP peer is anonymous.
void grant(Peer &p, const Model &m, uid_t self);

// Reads a local stream socket's peer credentials; false when the kernel
// does not give them.
bool local_peer(int fd, Peer &p);

}  // namespace mgtd
