#include "support/peer.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

int32_t RequestItem::as_int() const {
  int32_t v = 0;
  std::memcpy(&v, data.data(), std::min<size_t>(data.size(), 4));
  return v;
}

std::string RequestItem::as_string() const { return std::string(data.c_str()); }

std::string make_frame(int32_t type, uint32_t seq, std::string_view data, int32_t result,
                       int32_t status, int32_t err, uint32_t magic) {
  REPLY_HDR r{type, magic, seq, static_cast<int32_t>(data.size()), status, result, err, 0, 0, {}};
  return bytes_of(r).append(data);
}

std::optional<std::string> PeerConn::read_bytes(size_t n) {
  std::string out(n, '\0');
  for (size_t got = 0; got < n;) {
    pollfd pfd{fd_, POLLIN, 0};
    const int r = fd_ < 0 ? 0 : ::poll(&pfd, 1, read_timeout_ms_);
    const ssize_t k = r == 1 ? ::recv(fd_, out.data() + got, n - got, 0) : r;
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return std::nullopt;
    got += static_cast<size_t>(k);
  }
  return out;
}

std::optional<Request> PeerConn::read_request() {
  auto raw = read_bytes(sizeof(MSG_HDR));
  Request r;
  if (raw) std::memcpy(&r.hdr, raw->data(), sizeof r.hdr);
  auto rest = r.hdr.total_len > sizeof r.hdr && r.hdr.total_len <= (1u << 20)
                  ? read_bytes(r.hdr.total_len - sizeof r.hdr) : std::string();
  if (!raw || !rest) return std::nullopt;
  r.raw = *raw + *rest;
  size_t pos = sizeof(MSG_HDR);
  for (int i = 0; i < r.hdr.item_count && pos + 3 <= r.raw.size(); ++i) {
    const auto *p = reinterpret_cast<const unsigned char *>(r.raw.data() + pos);
    RequestItem item{p[0], (p[1] << 8) | p[2], {}};
    const bool has_data = item.kind == ITEM_INT || item.kind == ITEM_ARRAY || item.kind == ITEM_CARRAY;
    item.data = r.raw.substr(pos + 3, has_data ? static_cast<size_t>(item.size) : 0);
    pos += 3 + (has_data ? static_cast<size_t>(item.size) : 0);
    r.items.push_back(std::move(item));
  }
  r.well_formed = pos <= r.raw.size() && static_cast<int>(r.items.size()) == r.hdr.item_count;
  seq_ = r.hdr.seq;
  std::lock_guard<std::mutex> lock(owner_->mu_);
  owner_->requests_.push_back(r);
  return r;
}

std::optional<std::string> PeerConn::read_input_reply() {
  auto word = read_bytes(4);
  int32_t n = -1;
  if (word) std::memcpy(&n, word->data(), 4);
  auto line = n >= 0 && n <= (1 << 26) ? read_bytes(static_cast<size_t>(n)) : std::nullopt;
  std::lock_guard<std::mutex> lock(owner_->mu_);
  if (line) owner_->inputs_.push_back(*line);
  return line;
}

bool PeerConn::send_raw(std::string_view bytes) {
  for (size_t sent = 0; sent < bytes.size();) {
    const size_t n = trickle_ ? std::min(trickle_, bytes.size() - sent) : bytes.size() - sent;
    const ssize_t k = fd_ < 0 ? -1 : ::send(fd_, bytes.data() + sent, n, MSG_NOSIGNAL);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return false;
    sent += static_cast<size_t>(k);
    if (trickle_) stall(1);
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
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end && !owner_->stop_)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void PeerConn::close() {
  std::lock_guard<std::mutex> lock(owner_->mu_);
  if (fd_ >= 0) ::close(fd_);
  owner_->peer_fd_ = fd_ = -1;
}

Peer::Peer(Script script, int read_timeout_ms, size_t trickle) {
  int sv[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0)
    throw std::runtime_error("socketpair failed");
  client_fd_ = sv[0];
  peer_fd_ = sv[1];
  thread_ = std::thread([this, script = std::move(script), read_timeout_ms, trickle]() {
    sigset_t alarm;  // timer signals are meant for the library's waits
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &alarm, nullptr);
    PeerConn conn;
    conn.owner_ = this;
    conn.read_timeout_ms_ = read_timeout_ms;
    conn.trickle_ = trickle;
    conn.fd_ = peer_fd_;
    script(conn);
  });
}

Peer::Script Peer::serve(std::function<Result(const Request &)> fn) {
  return [fn = std::move(fn)](PeerConn &c) {
    for (std::optional<Request> req; (req = c.read_request());) {
      const Result r = fn(*req);
      if (!c.send_result(r.result, r.data, r.status, r.err)) return;
    }
  };
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
  for (int fd : {peer_fd_, client_fd_})
    if (fd >= 0) ::close(fd);
}

std::vector<Request> Peer::requests() const {
  std::lock_guard<std::mutex> lock(mu_);
  return requests_;
}

std::vector<std::string> Peer::input_replies() const {
  std::lock_guard<std::mutex> lock(mu_);
  return inputs_;
}

}  // namespace testsupport
