// Listening sockets and one thread per connection: a client that stalls,
// disconnects or sends garbage holds up only its own thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "service.hpp"

namespace mgtd {

class Server {
 public:
  explicit Server(State &st) : st_(st) {}
  ~Server();

  // Binds a local stream socket; refuses a path where a daemon answers.
  bool listen_unix(const std::string &path, std::string &error);
  // Binds TCP on addr ("" for all addresses); port 0 picks one. The bound
  // port is stored in `port`.
  bool listen_tcp(const std::string &addr, int &port, std::string &error);

  // Serves until `stop_fd` becomes readable. A byte 'u' read from it queues a
  // test trap; anything else stops. Then closes every connection, waits for
  // their threads and removes the local sockets.
  void run(int stop_fd);

  // How long a started request frame may take to arrive, in milliseconds.
  static constexpr int kFrameTimeoutMs = 30000;
  static constexpr std::size_t kMaxConnections = 128;

 private:
  void serve_connection(int fd);

  State &st_;
  std::vector<int> listeners_;
  std::vector<std::string> unix_paths_;
  std::mutex mu_;
  std::condition_variable done_;
  std::set<int> clients_;
};

}  // namespace mgtd
