#include "server.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "errors.hpp"

namespace mgtd {

namespace {

// Reads exactly n bytes. timeout_ms < 0 waits without limit (between
// requests, and for a person answering a prompt).
bool read_exact(int fd, void *buf, std::size_t n, int timeout_ms) {
  auto *p = static_cast<uint8_t *>(buf);
  while (n > 0) {
    pollfd pfd{fd, POLLIN, 0};
    int r = ::poll(&pfd, 1, timeout_ms);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    ssize_t k = ::recv(fd, p, n, 0);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return false;
    p += k;
    n -= static_cast<std::size_t>(k);
  }
  return true;
}

bool write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t k = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return false;  // includes the send time-out
    data.remove_prefix(static_cast<std::size_t>(k));
  }
  return true;
}

class SocketIo : public Io {
 public:
  explicit SocketIo(int fd) : fd_(fd) {}
  bool send(std::string_view frame) override { return write_all(fd_, frame); }
  bool read_input(std::string &line) override {
    int32_t len = 0;
    if (!read_exact(fd_, &len, 4, -1)) return false;
    if (len < 1 || len > SERVER_BUFFER_SIZE) return false;  // out of step: give up
    std::string buf(static_cast<std::size_t>(len), '\0');
    if (!read_exact(fd_, buf.data(), buf.size(), Server::kFrameTimeoutMs)) return false;
    if (buf.back() != '\0') return false;
    line.assign(buf.c_str());
    return true;
  }

 private:
  int fd_;
};

}  // namespace

Server::~Server() {
  for (int fd : listeners_) ::close(fd);
}

bool Server::listen_unix(const std::string &path, std::string &error) {
  sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof sa.sun_path) {
    error = "socket path too long: " + path;
    return false;
  }
  std::memcpy(sa.sun_path, path.c_str(), path.size() + 1);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  // A socket file left by a daemon that died is replaced; one that answers
  // belongs to a running daemon and is left alone.
  if (::connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0) {
    ::close(fd);
    error = path + ": a daemon already listens there";
    return false;
  }
  ::unlink(path.c_str());
  if (::bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) < 0 || ::listen(fd, 64) < 0) {
    error = path + ": " + std::strerror(errno);
    ::close(fd);
    return false;
  }
  listeners_.push_back(fd);
  unix_paths_.push_back(path);
  return true;
}

bool Server::listen_tcp(const std::string &addr, int &port, std::string &error) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  sa.sin_addr.s_addr = htonl(INADDR_ANY);
  if (!addr.empty() && inet_pton(AF_INET, addr.c_str(), &sa.sin_addr) != 1) {
    error = "not an IPv4 address: " + addr;
    return false;
  }
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) < 0 ||
      ::bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) < 0 || ::listen(fd, 64) < 0) {
    error = "tcp port " + std::to_string(port) + ": " + std::strerror(errno);
    if (fd >= 0) ::close(fd);
    return false;
  }
  socklen_t len = sizeof sa;
  ::getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
  port = ntohs(sa.sin_port);
  listeners_.push_back(fd);
  return true;
}

void Server::serve_connection(int fd) {
  timeval tv{kFrameTimeoutMs / 1000, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  SocketIo io(fd);
  Session ss;
  std::vector<uint8_t> frame(SERVER_BUFFER_SIZE);
  Request req;
  for (;;) {
    if (!read_exact(fd, frame.data(), MSG_HDR_LEN, -1)) break;
    MSG_HDR hdr;
    DecodeError e = decode_header(std::span(frame.data(), MSG_HDR_LEN), hdr);
    if (e != DecodeError::None) {
      // The length cannot be trusted: answer once and drop the connection.
      syslog(LOG_WARNING, "request refused: %s", decode_error_text(e));
      write_all(fd, invoke_error(hdr.seq, S_MALFORMED));
      break;
    }
    if (!read_exact(fd, frame.data() + MSG_HDR_LEN, hdr.total_len - MSG_HDR_LEN, kFrameTimeoutMs))
      break;
    e = decode_request(std::span(frame.data(), hdr.total_len), req);
    if (e != DecodeError::None) {
      syslog(LOG_WARNING, "request refused: %s", decode_error_text(e));
      if (!write_all(fd, invoke_error(hdr.seq, S_MALFORMED))) break;
      continue;
    }
    if (!serve(st_, ss, io, req)) break;
  }
  // Forget the descriptor before closing it: accept may reuse the number.
  std::lock_guard lk(mu_);
  clients_.erase(fd);
  ::close(fd);
  done_.notify_all();
}

void Server::run(int stop_fd) {
  std::vector<pollfd> pfds;
  pfds.push_back({stop_fd, POLLIN, 0});
  for (int fd : listeners_) pfds.push_back({fd, POLLIN, 0});
  for (;;) {
    int r = ::poll(pfds.data(), pfds.size(), -1);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) break;
    if (pfds[0].revents) {
      char c = 0;
      ssize_t k = ::read(stop_fd, &c, 1);
      if (k == 1 && c == 'u') {
        st_.queue_trap("test-trap", "Trap requested by signal", "SIGUSR1", "signal", 1);
        continue;
      }
      if (k < 0 && errno == EINTR) continue;
      break;
    }
    for (std::size_t i = 1; i < pfds.size(); ++i) {
      if (!(pfds[i].revents & POLLIN)) continue;
      int fd = ::accept4(pfds[i].fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      std::lock_guard lk(mu_);
      if (clients_.size() >= kMaxConnections) {
        ::close(fd);
        continue;
      }
      clients_.insert(fd);
      std::thread(&Server::serve_connection, this, fd).detach();
    }
  }
  // Stop: no new clients, wake every connection thread and wait for them.
  for (int fd : listeners_) ::close(fd);
  listeners_.clear();
  for (const auto &p : unix_paths_) ::unlink(p.c_str());
  std::unique_lock lk(mu_);
  for (int fd : clients_) ::shutdown(fd, SHUT_RDWR);
  done_.wait(lk, [&] { return clients_.empty(); });
}

}  // namespace mgtd
