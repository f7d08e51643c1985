#include "server.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "errors.hpp"

namespace mgtd {

namespace {

using Clock = std::chrono::steady_clock;

// Waits until fd is readable (or hung up); timeout_ms < 0 waits without
// limit.
bool wait_readable(int fd, int timeout_ms) {
  for (;;) {
    pollfd pfd{fd, POLLIN, 0};
    int r = ::poll(&pfd, 1, timeout_ms);
    if (r < 0 && errno == EINTR) continue;
    return r > 0;
  }
}

// Reads exactly n bytes before the deadline. What has arrived is taken
// without a wait; poll only runs when the socket is empty.
bool read_until(int fd, void *buf, std::size_t n, Clock::time_point deadline) {
  auto *p = static_cast<uint8_t *>(buf);
  while (n > 0) {
    ssize_t k = ::recv(fd, p, n, MSG_DONTWAIT);
    if (k > 0) {
      p += k;
      n -= static_cast<std::size_t>(k);
      continue;
    }
    if (k == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) return false;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0 || !wait_readable(fd, static_cast<int>(left))) return false;
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

// Waits (up to idle_ms; < 0 without limit) for the first byte of a frame,
// then gives the whole frame frame_ms from then.
bool read_frame(int fd, void *buf, std::size_t n, int idle_ms, int frame_ms) {
  if (!wait_readable(fd, idle_ms)) return false;
  return read_until(fd, buf, n, Clock::now() + std::chrono::milliseconds(frame_ms));
}

class SocketIo : public Io {
 public:
  SocketIo(int fd, int idle_ms, int frame_ms) : fd_(fd), idle_ms_(idle_ms), frame_ms_(frame_ms) {}
  bool send(std::string_view frame) override { return write_all(fd_, frame); }
  bool read_input(std::string &line) override {
    int32_t len = 0;
    if (!read_frame(fd_, &len, 4, idle_ms_, frame_ms_)) return false;
    if (len < 1 || len > SERVER_BUFFER_SIZE) return false;  // out of step: give up
    std::string buf(static_cast<std::size_t>(len), '\0');
    if (!read_until(fd_, buf.data(), buf.size(), Clock::now() + std::chrono::milliseconds(frame_ms_)))
      return false;
    if (buf.back() != '\0') return false;
    line.assign(buf.c_str());
    return true;
  }

 private:
  int fd_, idle_ms_, frame_ms_;
};

}  // namespace

Server::Server(State &st, Limits lim) : st_(st), lim_(lim), self_(::geteuid()) {}

Server::~Server() {
  // Only when run() never did: a start that failed after binding.
  for (const Listener &l : listeners_) ::close(l.fd);
  if (!listeners_.empty())
    for (const auto &[path, s] : unix_sockets_) remove_unix_socket(path, s);
}

bool Server::listen_unix(const std::string &path, long group, std::string &error) {
  UnixSocket s;
  if (!listen_unix_socket(path, group, s, error)) return false;
  listeners_.push_back({s.fd, false});
  unix_sockets_.emplace_back(path, s);
  return true;
}

bool Server::listen_tcp(const std::string &addr, int &port, std::string &error) {
  int fd = listen_tcp_socket(addr, port, error);
  if (fd < 0) return false;
  listeners_.push_back({fd, true});
  return true;
}

bool Server::admit(const Peer &p, std::string &key) {
  if (clients_.size() >= kMaxConnections) return false;
  if (p.privileged) {
    key.clear();
    return true;
  }
  key = p.kind == Peer::Kind::Tcp ? "tcp " + p.addr : "uid " + std::to_string(p.uid);
  if (unprivileged_ >= kMaxConnections - kReservedForRoot || per_peer_[key] >= kMaxPerPeer) return false;
  ++per_peer_[key];
  ++unprivileged_;
  return true;
}

void Server::accept_one(const Listener &l) {
  sockaddr_storage sa{};
  socklen_t len = sizeof sa;
  int fd = ::accept4(l.fd, reinterpret_cast<sockaddr *>(&sa), &len, SOCK_CLOEXEC);
  if (fd < 0) return;
  Session ss;
  Peer &p = ss.peer;
  if (l.tcp) {
    auto *in = reinterpret_cast<sockaddr_in *>(&sa);
    char text[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
    p.kind = Peer::Kind::Tcp;
    p.addr = text;
    p.port = ntohs(in->sin_port);
  } else if (!local_peer(fd, p)) {
    syslog(LOG_WARNING, "connection refused: no peer credentials");
    ::close(fd);
    return;
  }
  {
    std::lock_guard lk(st_.mutex());
    grant(p, st_.model(), self_);
  }
  std::lock_guard lk(mu_);
  std::string key;
  if (!admit(p, key)) {
    if (Clock::now() - last_refusal_log_ > std::chrono::seconds(1)) {
      syslog(LOG_WARNING, "connection refused (limit reached): %s", p.describe().c_str());
      last_refusal_log_ = Clock::now();
    }
    ::close(fd);
    return;
  }
  clients_[fd] = key;
  try {
    std::thread(&Server::serve_connection, this, fd, std::move(ss)).detach();
  } catch (const std::exception &) {
    syslog(LOG_ERR, "no thread for a connection");
    clients_.erase(fd);
    if (!key.empty() && --per_peer_[key] == 0) per_peer_.erase(key);
    if (!key.empty()) --unprivileged_;
    ::close(fd);
  }
}

void Server::serve_connection(int fd, Session ss) {
  timeval tv{lim_.frame_timeout_ms / 1000, (lim_.frame_timeout_ms % 1000) * 1000};
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  // uid 0 and the daemon's own uid may wait between requests without limit.
  const int idle_ms = ss.peer.privileged ? -1 : lim_.idle_timeout_ms;
  try {
    SocketIo io(fd, idle_ms, lim_.frame_timeout_ms);
    std::vector<uint8_t> frame(SERVER_BUFFER_SIZE);
    Request req;
    for (;;) {
      if (!wait_readable(fd, idle_ms)) break;
      auto deadline = Clock::now() + std::chrono::milliseconds(lim_.frame_timeout_ms);
      if (!read_until(fd, frame.data(), MSG_HDR_LEN, deadline)) break;
      MSG_HDR hdr;
      DecodeError e = decode_header(std::span(frame.data(), MSG_HDR_LEN), hdr);
      if (e != DecodeError::None) {
        // The length cannot be trusted: answer once and drop the connection.
        syslog(LOG_WARNING, "request refused: %s", decode_error_text(e));
        write_all(fd, invoke_error(hdr.seq, S_MALFORMED));
        break;
      }
      if (!read_until(fd, frame.data() + MSG_HDR_LEN, hdr.total_len - MSG_HDR_LEN, deadline)) break;
      e = decode_request(std::span(frame.data(), hdr.total_len), req);
      if (e != DecodeError::None) {
        syslog(LOG_WARNING, "request refused: %s", decode_error_text(e));
        if (!write_all(fd, invoke_error(hdr.seq, S_MALFORMED))) break;
        continue;
      }
      if (!serve(st_, ss, io, req)) break;
    }
  } catch (const std::exception &ex) {
    syslog(LOG_ERR, "connection ended: %s", ex.what());
  }
  // Forget the descriptor before closing it: accept may reuse the number.
  std::lock_guard lk(mu_);
  auto it = clients_.find(fd);
  if (it != clients_.end() && !it->second.empty()) {
    if (--per_peer_[it->second] == 0) per_peer_.erase(it->second);
    --unprivileged_;
  }
  clients_.erase(fd);
  ::close(fd);
  done_.notify_all();
}

bool Server::run(int stop_fd) {
  std::vector<pollfd> pfds;
  pfds.push_back({stop_fd, POLLIN, 0});
  for (const Listener &l : listeners_) pfds.push_back({l.fd, POLLIN, 0});
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
    for (std::size_t i = 1; i < pfds.size(); ++i)
      if (pfds[i].revents & POLLIN) accept_one(listeners_[i - 1]);
  }
  // Stop: no new clients, wake every connection thread and wait for them.
  for (const Listener &l : listeners_) ::close(l.fd);
  listeners_.clear();
  for (const auto &[path, s] : unix_sockets_) remove_unix_socket(path, s);
  std::unique_lock lk(mu_);
  for (const auto &c : clients_) ::shutdown(c.first, SHUT_RDWR);
  return done_.wait_for(lk, std::chrono::milliseconds(kStopWaitMs), [&] { return clients_.empty(); });
}

}  // namespace mgtd
