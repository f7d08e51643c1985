// A scripted management-daemon peer for tests.
//
// The peer owns one stream connection to the library and runs a script on a
// thread of its own: the script reads request frames (decoded and recorded)
// and plays reply frames, well-formed or not. Frames use the processor's byte
// order, as the daemon on the appliance does.
//
//   testsupport::Peer peer([](testsupport::PeerConn &c) {
//     auto req = c.read_request();               // std::optional<Request>
//     if (!req) return;
//     c.send_frame(REPLY_PRINT, "hello");        // intermediate frame, req's seq
//     c.send_result(7, testsupport::bytes_of(int32_t{42}));
//   });
//   set_socket(peer.client_fd());
//   ... SendAndRcv(...) ...
//   peer.join();                                 // script finished
//   peer.requests()[0].hdr.opcode ...
//
// Answering every request with a function:
//   testsupport::Peer peer(testsupport::Peer::serve([](const Request &r) {
//     return testsupport::Result{.result = 0, .data = ...};
//   }));
//
// Other transports: Peer::on_unix_path(path, script) listens on a local
// socket (accepts one connection, then runs the script); Peer::on_tcp_loopback
// (script) listens on 127.0.0.1 with a kernel-chosen port (tcp_port()).
// Every read of the peer gives up after read_timeout_ms (default 10 s) so a
// broken test fails instead of hanging.
#pragma once

#include <cstdint>
#include <cstring>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "pam_lib.h"

namespace testsupport {

// One decoded item of a request frame.
struct RequestItem {
  int kind = -1;
  int size = 0;              // the 16-bit size from the item head
  std::string data;          // the data bytes (ITEM_INT, ITEM_ARRAY, ITEM_CARRAY)
  int32_t as_int() const;    // ITEM_INT data in the processor's order
  std::string as_string() const;  // data up to its first NUL
};

// One request frame as the peer received it.
struct Request {
  MSG_HDR hdr{};                   // header fields in the processor's order
  std::vector<RequestItem> items;  // decoded from the bytes after the header
  std::string raw;                 // the whole frame, total_len bytes
  bool well_formed = false;        // items decode within total_len
};

// A result frame's fields.
struct Result {
  int32_t result = 0;
  std::string data;
  int32_t status = 0;
  int32_t err = 0;
};

// The bytes of a value in the processor's order.
template <typename T>
std::string bytes_of(const T &v) {
  std::string s(sizeof v, '\0');
  std::memcpy(s.data(), &v, sizeof v);
  return s;
}

// Fields of a reply-frame header (all in the processor's order).
struct FrameHeader {
  int32_t type = REPLY_RESULT;
  uint32_t magic = MSG_MAGIC;
  uint32_t seq = 0;
  int32_t data_len = 0;
  int32_t status = 0;
  int32_t result = 0;
  int32_t err = 0;
};

// A reply frame: the 48-byte header (client fields zero) and `data`.
// `data_len` of the header is taken as given (frames can lie about it).
std::string encode_frame(const FrameHeader &h, std::string_view data);
// The same with data_len set to data.size().
std::string make_frame(int32_t type, uint32_t seq, std::string_view data, int32_t result = 0,
                       int32_t status = 0, int32_t err = 0);

// Decodes a request frame (header and items).
Request decode_request(std::string raw);

// The peer's end of the connection, handed to the script.
class PeerConn {
 public:
  // Reads one request frame (header, then total_len - 56 more bytes) and
  // records it. nullopt on end of file, error or time-out.
  std::optional<Request> read_request();
  // Reads one input reply (4-byte length, then that many bytes); returns the
  // bytes after the length word (the line and its NUL). Recorded too.
  std::optional<std::string> read_input_reply();
  // Reads exactly n raw bytes.
  std::optional<std::string> read_bytes(size_t n);

  // Sequence number used by the send_* calls: the last request's unless set.
  uint32_t seq() const { return seq_; }
  void set_seq(uint32_t s) { seq_ = s; }

  // A result frame answering the last request.
  bool send_result(int32_t result, std::string_view data = {}, int32_t status = 0,
                   int32_t err = 0);
  bool send_result(const Result &r) { return send_result(r.result, r.data, r.status, r.err); }
  // An intermediate (or any) frame with data_len = data.size().
  bool send_frame(int32_t type, std::string_view data, int32_t result = 0);
  // Any bytes as they are (malformed frames, stray data, pieces of a frame).
  bool send_raw(std::string_view bytes);
  // Stops for `ms` milliseconds (the client sees silence).
  void stall(int ms);
  // Closes the peer's end: the client sees end of file or a send error.
  void close();

  int fd() const { return fd_; }

 private:
  friend class Peer;
  int fd_ = -1;
  uint32_t seq_ = 0;
  int read_timeout_ms_ = 10000;
  class Peer *owner_ = nullptr;
};

class Peer {
 public:
  using Script = std::function<void(PeerConn &)>;

  // A connected socketpair: client_fd() is the library's end.
  explicit Peer(Script script, int read_timeout_ms = 10000);
  // Listens on a local stream socket at `path` (created, removed at the end).
  static std::unique_ptr<Peer> on_unix_path(const std::string &path, Script script,
                                            int read_timeout_ms = 10000);
  // Listens on 127.0.0.1, a port the kernel chooses.
  static std::unique_ptr<Peer> on_tcp_loopback(Script script, int read_timeout_ms = 10000);
  // A script that answers every request with `fn` until the client closes.
  static Script serve(std::function<Result(const Request &)> fn);

  ~Peer();  // stops the script (shuts the connection down), joins, closes both ends
  Peer(const Peer &) = delete;
  Peer &operator=(const Peer &) = delete;

  int client_fd() const { return client_fd_; }  // -1 for the listening kinds
  uint16_t tcp_port() const { return port_; }
  // Closes the library's end (socketpair only); the script sees end of file.
  void close_client();
  // Waits for the script to finish.
  void join();

  std::vector<Request> requests() const;
  std::vector<std::string> input_replies() const;
  bool accepted() const;  // a listening peer got its connection

 private:
  Peer() = default;
  friend class PeerConn;
  void start(Script script, int listen_fd, int read_timeout_ms);
  mutable std::mutex mu_;
  std::vector<Request> requests_;
  std::vector<std::string> inputs_;
  bool accepted_ = false;
  int client_fd_ = -1;
  int peer_fd_ = -1;
  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::string path_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace testsupport
