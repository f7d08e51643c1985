#include "support/peer.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace testsupport {

int32_t RequestItem::as_int() const {
  int32_t v = 0;
  std::memcpy(&v, data.data(), data.size() < 4 ? data.size() : 4);
  return v;
}

std::string RequestItem::as_string() const { return std::string(data.c_str()); }

std::string encode_frame(const FrameHeader &h, std::string_view data) {
  REPLY_HDR r{};
  r.type = h.type;
  r.magic = h.magic;
  r.seq = h.seq;
  r.data_len = h.data_len;
  r.status = h.status;
  r.result = h.result;
  r.err = h.err;
  std::string out(reinterpret_cast<const char *>(&r), sizeof r);
  out.append(data);
  return out;
}

std::string make_frame(int32_t type, uint32_t seq, std::string_view data, int32_t result,
                       int32_t status, int32_t err) {
  FrameHeader h;
  h.type = type;
  h.seq = seq;
  h.data_len = static_cast<int32_t>(data.size());
  h.result = result;
  h.status = status;
  h.err = err;
  return encode_frame(h, data);
}

Request decode_request(std::string raw) {
  Request r;
  r.raw = std::move(raw);
  if (r.raw.size() < sizeof(MSG_HDR)) return r;
  std::memcpy(&r.hdr, r.raw.data(), sizeof(MSG_HDR));
  size_t pos = sizeof(MSG_HDR);
  const size_t end = r.raw.size();
  bool ok = true;
  for (int i = 0; i < r.hdr.item_count && ok; ++i) {
    if (pos + 3 > end) {
      ok = false;
      break;
    }
    RequestItem item;
    const auto *p = reinterpret_cast<const unsigned char *>(r.raw.data() + pos);
    item.kind = p[0];
    item.size = (p[1] << 8) | p[2];
    pos += 3;
    if (item.kind == ITEM_INT || item.kind == ITEM_ARRAY || item.kind == ITEM_CARRAY) {
      if (pos + static_cast<size_t>(item.size) > end) {
        ok = false;
        break;
      }
      item.data = r.raw.substr(pos, static_cast<size_t>(item.size));
      pos += static_cast<size_t>(item.size);
    }
    r.items.push_back(std::move(item));
  }
  r.well_formed = ok;
  return r;
}

// ---- PeerConn ------------------------------------------------------------

std::optional<std::string> PeerConn::read_bytes(size_t n) {
  std::string out(n, '\0');
  size_t got = 0;
  while (got < n) {
    if (fd_ < 0) return std::nullopt;
    pollfd pfd{fd_, POLLIN, 0};
    int r = ::poll(&pfd, 1, read_timeout_ms_);
    if (r < 0 && errno == EINTR) continue;
    if (r != 1) return std::nullopt;
    ssize_t k = ::recv(fd_, out.data() + got, n - got, 0);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return std::nullopt;
    got += static_cast<size_t>(k);
  }
  return out;
}

std::optional<Request> PeerConn::read_request() {
  auto head = read_bytes(sizeof(MSG_HDR));
  if (!head) return std::nullopt;
  MSG_HDR h;
  std::memcpy(&h, head->data(), sizeof h);
  std::string raw = std::move(*head);
  if (h.total_len > sizeof(MSG_HDR) && h.total_len <= (1u << 20)) {
    auto rest = read_bytes(h.total_len - sizeof(MSG_HDR));
    if (!rest) return std::nullopt;
    raw += *rest;
  }
  Request r = decode_request(std::move(raw));
  seq_ = r.hdr.seq;
  if (owner_) {
    std::lock_guard<std::mutex> lock(owner_->mu_);
    owner_->requests_.push_back(r);
  }
  return r;
}

std::optional<std::string> PeerConn::read_input_reply() {
  auto word = read_bytes(4);
  if (!word) return std::nullopt;
  int32_t n;
  std::memcpy(&n, word->data(), 4);
  if (n < 0 || n > (1 << 26)) return std::nullopt;
  auto line = read_bytes(static_cast<size_t>(n));
  if (!line) return std::nullopt;
  if (owner_) {
    std::lock_guard<std::mutex> lock(owner_->mu_);
    owner_->inputs_.push_back(*line);
  }
  return line;
}

bool PeerConn::send_raw(std::string_view bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    if (fd_ < 0) return false;
    ssize_t k = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return false;
    sent += static_cast<size_t>(k);
  }
  return true;
}

bool PeerConn::send_result(int32_t result, std::string_view data, int32_t status, int32_t err) {
  return send_raw(make_frame(REPLY_RESULT, seq_, data, result, status, err));
}

bool PeerConn::send_frame(int32_t type, std::string_view data, int32_t result) {
  return send_raw(make_frame(type, seq_, data, result));
}

void PeerConn::stall(int ms) {
  // In small steps, so a peer being destroyed does not wait for the stall.
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end && !(owner_ && owner_->stop_))
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

void PeerConn::close() {
  if (fd_ < 0) return;
  if (owner_) {
    std::lock_guard<std::mutex> lock(owner_->mu_);
    ::close(fd_);
    owner_->peer_fd_ = -1;
  } else {
    ::close(fd_);
  }
  fd_ = -1;
}

// ---- Peer ----------------------------------------------------------------

Peer::Peer(Script script, int read_timeout_ms) {
  int sv[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0)
    throw std::runtime_error("socketpair failed");
  client_fd_ = sv[0];
  peer_fd_ = sv[1];
  accepted_ = true;
  start(std::move(script), -1, read_timeout_ms);
}

std::unique_ptr<Peer> Peer::on_unix_path(const std::string &path, Script script,
                                         int read_timeout_ms) {
  std::unique_ptr<Peer> p(new Peer());
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (fd < 0 || path.size() >= sizeof addr.sun_path) throw std::runtime_error("bad unix path");
  std::memcpy(addr.sun_path, path.data(), path.size());
  ::unlink(path.c_str());
  if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || ::listen(fd, 4) != 0)
    throw std::runtime_error("bind/listen failed on " + path);
  p->path_ = path;
  p->start(std::move(script), fd, read_timeout_ms);
  return p;
}

std::unique_ptr<Peer> Peer::on_tcp_loopback(Script script, int read_timeout_ms) {
  std::unique_ptr<Peer> p(new Peer());
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof addr;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
      ::listen(fd, 4) != 0 || ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
    throw std::runtime_error("tcp listen failed");
  p->port_ = ntohs(addr.sin_port);
  p->start(std::move(script), fd, read_timeout_ms);
  return p;
}

Peer::Script Peer::serve(std::function<Result(const Request &)> fn) {
  return [fn = std::move(fn)](PeerConn &c) {
    while (auto req = c.read_request()) {
      if (!c.send_result(fn(*req))) return;
    }
  };
}

void Peer::start(Script script, int listen_fd, int read_timeout_ms) {
  listen_fd_ = listen_fd;
  thread_ = std::thread([this, script = std::move(script), read_timeout_ms]() {
    PeerConn conn;
    conn.owner_ = this;
    conn.read_timeout_ms_ = read_timeout_ms;
    if (listen_fd_ >= 0) {
      // Accept one connection, giving up on time-out or when stopped.
      int waited = 0;
      int fd = -1;
      while (!stop_ && waited < read_timeout_ms) {
        pollfd pfd{listen_fd_, POLLIN, 0};
        if (::poll(&pfd, 1, 20) == 1) {
          fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
          break;
        }
        waited += 20;
      }
      if (fd < 0) return;
      std::lock_guard<std::mutex> lock(mu_);
      if (stop_) {
        ::close(fd);
        return;
      }
      peer_fd_ = fd;
      accepted_ = true;
    }
    {
      std::lock_guard<std::mutex> lock(mu_);
      conn.fd_ = peer_fd_;
    }
    script(conn);
  });
}

void Peer::join() {
  if (thread_.joinable()) thread_.join();
}

void Peer::close_client() {
  if (client_fd_ >= 0) ::close(client_fd_);
  client_fd_ = -1;
}

Peer::~Peer() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
    if (peer_fd_ >= 0) ::shutdown(peer_fd_, SHUT_RDWR);
  }
  join();
  if (peer_fd_ >= 0) ::close(peer_fd_);
  if (client_fd_ >= 0) ::close(client_fd_);
  if (listen_fd_ >= 0) ::close(listen_fd_);
  if (!path_.empty()) ::unlink(path_.c_str());
}

std::vector<Request> Peer::requests() const {
  std::lock_guard<std::mutex> lock(mu_);
  return requests_;
}

std::vector<std::string> Peer::input_replies() const {
  std::lock_guard<std::mutex> lock(mu_);
  return inputs_;
}

bool Peer::accepted() const {
  std::lock_guard<std::mutex> lock(mu_);
  return accepted_;
}

}  // namespace testsupport
