// A scripted daemon peer: a socketpair to the library, and a script on a
// thread of its own that reads request frames (decoded and recorded) and
// plays reply frames, well-formed or not. Reads give up after
// read_timeout_ms, so a broken test fails instead of hanging.
#pragma once

#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "pam_lib.h"

namespace testsupport {

struct RequestItem {
  int kind = -1;
  int size = 0;      // the 16-bit size from the item head
  std::string data;  // the bytes sent (ITEM_INT, ITEM_ARRAY, ITEM_CARRAY)
  int32_t as_int() const;
  std::string as_string() const;  // data up to its first NUL
};

struct Request {
  MSG_HDR hdr{};
  std::vector<RequestItem> items;
  std::string raw;           // the whole frame
  bool well_formed = false;  // items decode within the frame
};

struct Result {
  int32_t result = 0;
  std::string data;
  int32_t status = 0;
  int32_t err = 0;
};

template <typename T>
std::string bytes_of(const T &v) {
  return std::string(reinterpret_cast<const char *>(&v), sizeof v);
}

// A reply frame: the 48-byte header (client fields zero) and `data`.
std::string make_frame(int32_t type, uint32_t seq, std::string_view data, int32_t result = 0,
                       int32_t status = 0, int32_t err = 0, uint32_t magic = MSG_MAGIC);

class PeerConn {
 public:
  std::optional<Request> read_request();          // nullopt on end of file or time-out
  std::optional<std::string> read_input_reply();  // the line and its NUL
  std::optional<std::string> read_bytes(size_t n);
  uint32_t seq() const { return seq_; }           // the last request's
  bool send_result(int32_t result, std::string_view data = {}, int32_t status = 0, int32_t err = 0);
  bool send_frame(int32_t type, std::string_view data, int32_t result = 0);
  bool send_raw(std::string_view bytes);
  void stall(int ms);  // silence, cut short when the peer is destroyed
  void close();
  int fd() const { return fd_; }

 private:
  friend class Peer;
  int fd_ = -1;
  uint32_t seq_ = 0;
  int read_timeout_ms_ = 10000;
  size_t trickle_ = 0;
  class Peer *owner_ = nullptr;
};

class Peer {
 public:
  using Script = std::function<void(PeerConn &)>;
  // client_fd() is the library's end. With `trickle`, everything the script
  // sends goes in pieces of that many bytes with a pause after each.
  explicit Peer(Script script, int read_timeout_ms = 10000, size_t trickle = 0);
  // Answers every request with `fn` until the client closes.
  static Script serve(std::function<Result(const Request &)> fn);
  ~Peer();  // shuts the connection down, joins, closes both ends
  Peer(const Peer &) = delete;
  Peer &operator=(const Peer &) = delete;

  int client_fd() const { return client_fd_; }
  void close_client();  // the script sees end of file
  void join();
  std::vector<Request> requests() const;       // recorded by read_request
  std::vector<std::string> input_replies() const;  // recorded by read_input_reply

 private:
  friend class PeerConn;
  mutable std::mutex mu_;
  std::vector<Request> requests_;
  std::vector<std::string> inputs_;
  int client_fd_ = -1, peer_fd_ = -1;
  std::atomic<bool> stop_ = false;
  std::thread thread_;
};

}  // namespace testsupport
