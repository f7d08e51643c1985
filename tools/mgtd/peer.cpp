#include "peer.hpp"

#include <sys/socket.h>

#include <algorithm>

namespace mgtd {

std::string Peer::describe() const {
  if (kind == Kind::Tcp) return "tcp " + addr + ":" + std::to_string(port);
  return "unix uid=" + std::to_string(uid) + " pid=" + std::to_string(pid);
}

void grant(Peer &p, const Model &m, uid_t self) {
  p.ceiling = kLevelAnonymous;
  p.login = false;
  p.privileged = false;
  if (p.kind == Peer::Kind::Tcp) return;
  if (p.uid == 0 || p.uid == static_cast<int64_t>(self)) {
    p.ceiling = kLevelAdmin;
    p.login = p.privileged = true;
    return;
  }
  auto take = [&](const std::map<int64_t, PeerGrant> &table, int64_t id) {
    auto it = table.find(id);
    if (it == table.end()) return;
    p.ceiling = std::max(p.ceiling, it->second.level);
    p.login = p.login || it->second.login;
  };
  take(m.peer_uids, p.uid);
  take(m.peer_gids, p.gid);
  for (int64_t g : p.groups) take(m.peer_gids, g);
}

bool local_peer(int fd, Peer &p) {
  ucred uc{};
  socklen_t len = sizeof uc;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &uc, &len) != 0 || len != sizeof uc) return false;
  p.kind = Peer::Kind::Local;
  p.uid = uc.uid;
  p.pid = uc.pid;
  p.gid = uc.gid;
  p.groups.clear();
#ifdef SO_PEERGROUPS
  // The supplementary groups as they were at connect; without them only the
  // primary group counts.
  gid_t groups[64];
  len = sizeof groups;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups, &len) == 0)
    for (std::size_t i = 0; i < len / sizeof(gid_t); ++i) p.groups.push_back(groups[i]);
#endif
  return true;
}

}  // namespace mgtd
