#include "pam_lib/transport.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/un.h>
#include <unistd.h>

#include "common/log.hpp"
#include "pam_lib/context.hpp"

namespace pl {
namespace {

constexpr const char *kPrimaryPath = "/tmp/mgtd1";
constexpr const char *kFallbackPath = "/tmp/mgtd";
constexpr uint16_t kTcpPort = 10002;

const char *g_primary_path = kPrimaryPath;
const char *g_fallback_path = kFallbackPath;
uint16_t g_tcp_port = kTcpPort;

using Clock = std::chrono::steady_clock;

// Milliseconds left until `deadline`, rounded up; 0 once it has passed.
int ms_left(Clock::time_point deadline) noexcept {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Waits for `events` on one socket. 1 when the socket is ready (an error or
// hang-up counts: the following call reports it), 0 when the wait ran out or
// failed, -1 when a signal interrupted it. poll, not select: descriptors
// above FD_SETSIZE are fine.
int wait_for(int sock, short events, int timeout_ms) noexcept {
  if (timeout_ms < 0) return 0;
  pollfd pfd{sock, events, 0};
  int r = ::poll(&pfd, 1, timeout_ms);
  if (r < 0 && errno == EINTR) return -1;
  if (r != 1 || (pfd.revents & POLLNVAL)) return 0;
  return 1;
}

void debug_trace(const char *fmt, int a, int b, const char *text) noexcept {
  if (g_hooks.debug_print) g_hooks.debug_print(fmt, a, b, text);
}

// Reads exactly `len` bytes (a header or the last chunk of a frame). A
// receive that stops short (a signal, a partial delivery) is continued, so
// the connection never loses its place inside a frame. With a time-out and
// `eager`, data that is already there is taken without a wait first.
int recv_exact(int sock, void *buf, int len, int timeout_ms, bool eager) noexcept {
  auto *p = static_cast<char *>(buf);
  int got = 0;
  if (eager && timeout_ms != 0) {
    ssize_t n = ::recv(sock, p, static_cast<size_t>(len), MSG_DONTWAIT);
    if (n > 0) got = static_cast<int>(n);
  }
  while (got < len) {
    int n = timed_recv(sock, p + got, len - got, MSG_WAITALL, timeout_ms);
    if (n < 0 && errno == EINTR && timeout_ms == 0) continue;
    if (n <= 0) return n;
    got += n;
  }
  return got;
}

}  // namespace

int timed_recv(int sock, void *buf, int len, int flags, int timeout_ms) noexcept {
  if (timeout_ms == 0) {
    if (len < 0) {
      errno = EINVAL;
      return -1;
    }
    // A signal is no failure of the connection: the plain call is made again.
    ssize_t n;
    do n = ::recv(sock, buf, static_cast<size_t>(len), flags);
    while (n < 0 && errno == EINTR);
    return static_cast<int>(n);
  }
  if (len <= 0) return 0;
  const bool all = (flags & MSG_WAITALL) != 0;
  auto *p = static_cast<char *>(buf);
  int got = 0;
  for (;;) {
    int ready = wait_for(sock, POLLIN, timeout_ms);
    if (ready < 0) continue;
    if (ready == 0) return 0;  // what earlier passes read is given up
    ssize_t n = ::recv(sock, p + got, static_cast<size_t>(len - got), MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
    if (n <= 0) {
      int e = errno;
      log_msg(LOG_ERR, "error in recv socket=%d %d (%s)", sock, e, std::strerror(e));
      return static_cast<int>(n);
    }
    got += static_cast<int>(n);
    if (!all || got == len) return got;
  }
}

int get_rcv_header(int sock, REPLY_HDR *hdr, int timeout_ms, uint32_t seq) noexcept {
  for (;;) {
    int len = recv_exact(sock, hdr, REPLY_HDR_LEN, timeout_ms, false);
    if (len <= 0) {
      report("len <=0", "pam_lib", "get_rcv_header", 459);
      return ERROR;
    }
    // Frames of earlier exchanges and stray bytes are passed over.
    if (hdr->magic == MSG_MAGIC && hdr->seq == seq) return 0;
  }
}

int get_rcv_buf(int sock, REPLY *area, REPLY **current, int *new_frame, int timeout_ms,
                uint32_t seq) noexcept {
  if (*new_frame || !*current) {
    if (get_rcv_header(sock, &area->hdr, timeout_ms, seq) == ERROR) {
      report("err == ERROR", "pam_lib", "get_rcv_buf", 485);
      return ERROR;
    }
    *current = area;
    area->hdr.chunk_len = 0;
    area->hdr.received = 0;
  }
  REPLY *cur = *current;
  const int remaining = cur->hdr.data_len - cur->hdr.received;
  if (remaining >= 1 && remaining <= SERVER_BUFFER_SIZE) {
    *new_frame = 1;
    int len = recv_exact(sock, cur->data, remaining, timeout_ms, true);
    if (len <= 0) {
      report("len <= 0", "pam_lib", "get_rcv_buf", 499);
      return ERROR;
    }
    cur->hdr.chunk_len = len;
    cur->hdr.received += len;
  } else if (remaining > SERVER_BUFFER_SIZE) {
    *new_frame = 0;
    int len = timed_recv(sock, cur->data, SERVER_BUFFER_SIZE, 0, timeout_ms);
    if (len <= 0) {
      report("len <= 0", "pam_lib", "get_rcv_buf", 507);
      *new_frame = 1;
      return ERROR;
    }
    cur->hdr.chunk_len = len;
    cur->hdr.received += len;
  } else {
    cur->hdr.chunk_len = 0;
  }
  return 0;
}

int fill_chunk(int sock, REPLY *area, int *new_frame, int want, int timeout_ms) noexcept {
  REPLY_HDR &h = area->hdr;
  if (want > SERVER_BUFFER_SIZE) want = SERVER_BUFFER_SIZE;
  const int frame_left = h.data_len - h.received;
  if (want - h.chunk_len > frame_left) want = h.chunk_len + frame_left;
  while (h.chunk_len < want) {
    int n = timed_recv(sock, area->data + h.chunk_len, want - h.chunk_len, 0, timeout_ms);
    if (n <= 0) {
      *new_frame = 1;
      return ERROR;
    }
    h.chunk_len += n;
    h.received += n;
  }
  if (h.received >= h.data_len) *new_frame = 1;
  return 0;
}

int drain_frame(int sock, REPLY *area, int *new_frame, int timeout_ms) noexcept {
  REPLY_HDR &h = area->hdr;
  while (!*new_frame) {
    const int remaining = h.data_len - h.received;
    if (remaining <= 0) break;
    const int want = remaining < SERVER_BUFFER_SIZE ? remaining : SERVER_BUFFER_SIZE;
    int n = timed_recv(sock, area->data, want, 0, timeout_ms);
    if (n <= 0) {
      *new_frame = 1;
      return ERROR;
    }
    h.chunk_len = n;
    h.received += n;
  }
  *new_frame = 1;
  return 0;
}

int connect_with_timeout(int sock, const struct sockaddr *addr, socklen_t addrlen,
                         int timeout_ms) noexcept {
  if (timeout_ms == 0) {
    if (::connect(sock, addr, addrlen) < 0) {
      ::close(sock);
      return ERROR;
    }
    return sock;
  }
  const int fl = ::fcntl(sock, F_GETFL);
  ::fcntl(sock, F_SETFL, fl | O_NONBLOCK);
  if (::connect(sock, addr, addrlen) == 0) {
    ::fcntl(sock, F_SETFL, fl);
    return sock;
  }
  if (errno != EINPROGRESS) {
    int e = errno;
    debug_trace("%d:Error connecting %d - %s\n", sock, e, std::strerror(e));
    ::close(sock);
    return ERROR;
  }
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  int ready;
  while ((ready = wait_for(sock, POLLOUT, ms_left(deadline))) < 0) {
  }
  if (!ready) {
    if (g_hooks.debug_print) g_hooks.debug_print("%d:Connection Timeout [%d]\n", sock, timeout_ms);
    ::close(sock);
    return ERROR;
  }
  int err = 0;
  socklen_t len = sizeof err;
  if (::getsockopt(sock, SOL_SOCKET, SO_ERROR, &err, &len) < 0) err = errno;
  if (err == 0) {
    ::fcntl(sock, F_SETFL, fl);
    return sock;
  }
  debug_trace("%d:Error in connection() %d - %s\n", sock, err, std::strerror(err));
  ::close(sock);
  return ERROR;
}

namespace {
// The daemon's socket paths lie in a directory that everyone can write, so
// whoever answers there must be root or this process's own user. Returns the
// socket, or -1 after closing it, exactly like a failed connect.
int trusted_peer(int sock) noexcept {
  ucred peer{};
  socklen_t len = sizeof peer;
  if (::getsockopt(sock, SOL_SOCKET, SO_PEERCRED, &peer, &len) == 0 && len == sizeof peer &&
      (peer.uid == 0 || peer.uid == ::geteuid()))
    return sock;
  const int uid = len == sizeof peer ? static_cast<int>(peer.uid) : -1;
  const int pid = len == sizeof peer ? static_cast<int>(peer.pid) : -1;
  if (g_hooks.debug_print)
    g_hooks.debug_print("%d:Refused the daemon socket: peer uid %d pid %d is neither root nor our user\n",
                        sock, uid, pid);
  log_msg(LOG_ERR, "refused daemon socket: peer uid %d pid %d is neither root nor euid %d", uid,
          pid, static_cast<int>(::geteuid()));
  ::close(sock);
  return ERROR;
}

// Fills a local address; false when the path does not fit sun_path.
bool unix_address(const char *path, sockaddr_un &addr, socklen_t &len) noexcept {
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  const size_t n = path ? std::strlen(path) : sizeof addr.sun_path;
  if (n >= sizeof addr.sun_path) return false;
  std::memcpy(addr.sun_path, path, n);
  // The family field and the path without its NUL.
  len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + n);
  return true;
}
}  // namespace

int client_open_sock(const char *path) noexcept {
  int client_sock = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (client_sock == -1) {
    report("client_sock == -1", "pam_lib", "client_open_sock", 800);
    return ERROR;
  }
  sockaddr_un addr;
  socklen_t len;
  if (!unix_address(path, addr, len) ||
      ::connect(client_sock, reinterpret_cast<sockaddr *>(&addr), len) < 0) {
    ::close(client_sock);
    return ERROR;
  }
  return trusted_peer(client_sock);
}

namespace testing {
void set_endpoints(const char *primary_path, const char *fallback_path,
                   uint16_t tcp_port) noexcept {
  g_primary_path = primary_path ? primary_path : kPrimaryPath;
  g_fallback_path = fallback_path ? fallback_path : kFallbackPath;
  g_tcp_port = tcp_port ? tcp_port : kTcpPort;
}
}  // namespace testing

}  // namespace pl

extern "C" {

PAM_LIB_API int timed_send(int sock, const void *buf, int len, int flags,
                           int timeout_ms) noexcept {
  // A daemon that went away must give -1, never SIGPIPE in the host.
  flags |= MSG_NOSIGNAL;
  if (timeout_ms == 0) {
    if (len < 0) {
      errno = EINVAL;
      return ERROR;
    }
    // Interrupted before anything went out: the plain call is made again.
    ssize_t n;
    do n = ::send(sock, buf, static_cast<size_t>(len), flags);
    while (n < 0 && errno == EINTR);
    return static_cast<int>(n);
  }
  if (len <= 0) return 0;
  // One deadline for the whole send, not one time-out per wait.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  const auto *p = static_cast<const char *>(buf);
  int sent = 0;
  bool try_first = true;  // a writable socket needs no wait
  for (;;) {
    if (!try_first) {
      int ready = pl::wait_for(sock, POLLOUT, pl::ms_left(deadline));
      if (ready < 0) continue;
      if (ready == 0) return 0;
    }
    try_first = false;
    ssize_t n = ::send(sock, p + sent, static_cast<size_t>(len - sent), flags | MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
    if (n <= 0) {
      int e = errno;
      pl::log_msg(LOG_ERR, "send fail %d (%s)", e, std::strerror(e));
      return ERROR;
    }
    sent += static_cast<int>(n);
    if (sent == len) return sent;
  }
}

PAM_LIB_API int client_Init(void) noexcept {
  pl::g_client_protocol = 1;
  int sock = pl::client_open_sock(pl::g_primary_path);
  if (sock != ERROR) return sock;
  sock = pl::client_open_sock(pl::g_fallback_path);
  if (sock == ERROR) return ERROR;
  pl::g_client_protocol = 0;
  return sock;
}

PAM_LIB_API int client_Init_with_timeout(int timeout_ms) noexcept {
  int sock = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (sock == -1) {
    pl::report("sock == -1", "pam_lib", "client_Init_with_timeout", 841);
    return ERROR;
  }
  sockaddr_un addr;
  socklen_t len;
  if (!pl::unix_address(pl::g_primary_path, addr, len)) {
    ::close(sock);
    return ERROR;
  }
  sock = pl::connect_with_timeout(sock, reinterpret_cast<sockaddr *>(&addr), len, timeout_ms);
  return sock == ERROR ? ERROR : pl::trusted_peer(sock);
}

PAM_LIB_API int client_Init_External(const char *ip_addr, int timeout_ms) noexcept {
  int client_sock = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (client_sock == -1) {
    pl::report("client_sock == -1", "pam_lib", "client_Init_External", 753);
    return ERROR;
  }
  // Every later exchange waits at most this long, connected or not.
  pl::g_ctx.timeout = timeout_ms;
  sockaddr_in addr;
  std::memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_port = htons(pl::g_tcp_port);
  addr.sin_addr.s_addr = ip_addr ? ::inet_addr(ip_addr) : INADDR_NONE;
  return pl::connect_with_timeout(client_sock, reinterpret_cast<sockaddr *>(&addr),
                                  sizeof addr, timeout_ms);
}

}  // extern "C"
