// Listening sockets and one thread per connection, within caps: a client
// that stalls, disconnects or sends garbage holds up only its own thread,
// and one peer's idle connections cannot use up everyone's room.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "service.hpp"
#include "sockets.hpp"

namespace mgtd {

struct Limits {
  // A request (or a prompt's answer) whose first byte arrived must be
  // complete within this; a reply the client does not take within it ends
  // the connection too.
  int frame_timeout_ms = 30000;
  // An unprivileged or TCP peer with no request (or no answer to a prompt)
  // for this long is disconnected.
  int idle_timeout_ms = 300000;
};

class Server {
 public:
  explicit Server(State &st, Limits lim = {});
  ~Server();

  // Binds a local stream socket (mode 0660 with group >= 0, else 0600).
  bool listen_unix(const std::string &path, long group, std::string &error);
  // Binds TCP on an IPv4 address; port 0 picks one, stored back in port.
  bool listen_tcp(const std::string &addr, int &port, std::string &error);

  // Serves until `stop_fd` becomes readable. A byte 'u' read from it queues a
  // test trap; anything else stops: no new clients, every connection shut
  // down, the local socket files removed. Returns false when some connection
  // had not ended within kStopWaitMs (the caller then exits regardless).
  bool run(int stop_fd);

  static constexpr std::size_t kMaxConnections = 128;
  // Of these, never used by peers other than uid 0 and the daemon's own.
  static constexpr std::size_t kReservedForRoot = 16;
  // Connections of one other uid, or one TCP address, at a time.
  static constexpr std::size_t kMaxPerPeer = 16;
  static constexpr int kStopWaitMs = 800;

 private:
  struct Listener {
    int fd;
    bool tcp;
  };
  void accept_one(const Listener &l);
  bool admit(const Peer &p, std::string &key);  // under mu_
  void serve_connection(int fd, Session ss);

  State &st_;
  Limits lim_;
  uid_t self_;
  std::vector<Listener> listeners_;
  std::vector<std::pair<std::string, UnixSocket>> unix_sockets_;
  std::mutex mu_;
  std::condition_variable done_;
  std::map<int, std::string> clients_;  // fd -> its peer's key ("" for privileged)
  std::map<std::string, std::size_t> per_peer_;
  std::size_t unprivileged_ = 0;
  std::chrono::steady_clock::time_point last_refusal_log_{};
};

}  // namespace mgtd
