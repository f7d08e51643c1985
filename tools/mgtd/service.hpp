// What the daemon does with one decoded request: the operation of each
// opcode over the shared model, per-connection walk state, the security log
// and the trap queue.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "model.hpp"
#include "peer.hpp"
#include "request.hpp"

namespace mgtd {

struct Trap {
  int32_t id = 0;
  int32_t severity = 1;  // 1 information, 2 warning, 3 error
  int32_t time = 0;      // seconds since the epoch (low 32 bits)
  std::string name, text, data, source;
};

// Layout of the 896-byte trap record (numbers in processor order).
constexpr std::size_t kTrapRecordSize = 896;
constexpr std::size_t kTrapNameOffset = 16, kTrapNameSize = 64;
constexpr std::size_t kTrapTextOffset = 80, kTrapTextSize = kTrapRecordSize - kTrapTextOffset;
constexpr std::size_t kTrapQueueMax = 64;

// Shared by every connection; each member function locks what it touches.
class State {
 public:
  explicit State(Model m) : model_(std::move(m)) {}

  std::mutex &mutex() { return mu_; }
  Model &model() { return model_; }  // under mutex()

  // Where the security log is appended; empty: no log.
  void set_security_log(std::string path);
  // Appends one line (control characters replaced); false when it cannot.
  bool log_security(std::string_view who, std::string_view text);

  // Where set values are kept across restarts; empty: nowhere.
  void set_state_file(std::string path) { state_file_ = std::move(path); }
  // Applies saved values; error text on a bad file (a missing one is fine).
  bool load_state(std::string &error);
  void save_state_locked();  // under mutex(); written atomically

  void queue_trap(std::string name, std::string text, std::string data, std::string source,
                  int32_t severity = 1);
  std::optional<Trap> pop_trap(std::size_t &left);
  std::size_t trap_count();

 private:
  std::mutex mu_;
  Model model_;
  std::mutex log_mu_;
  std::string log_path_;
  std::string log_error_;  // the last failure, reported once
  std::string state_file_;
  std::mutex trap_mu_;
  std::deque<Trap> traps_;
  int32_t next_trap_id_ = 1;
};

// The connection's side of a command: intermediate frames out, input lines in.
class Io {
 public:
  virtual ~Io() = default;
  virtual bool send(std::string_view frame) = 0;
  // Reads one input reply (4-byte length, then line and NUL).
  virtual bool read_input(std::string &line) = 0;
};

// Client-written security-log lines: a bucket of kLogBurst lines that
// refills at kLogPerSecond per connection.
constexpr double kLogBurst = 20, kLogPerSecond = 5;
// Bytes that one command may send in its frames; a command stops with word 8
// when it would pass this.
constexpr std::size_t kCommandOutputMax = 1 << 20;
// Failed DM_AuthUser calls a connection may make; later ones are refused.
constexpr int kAuthFailuresMax = 5;

struct Session {
  Peer peer;                      // from the kernel, at accept
  int32_t ceiling = kLevelAdmin;  // lowered by DM_SetPrivilege
  int32_t auth_level = -1;        // set by a successful DM_AuthUser
  std::string auth_user;
  int auth_failures = 0;
  std::string client_ip;          // claimed by DM_SetClientIp
  double log_tokens = kLogBurst;
  std::chrono::steady_clock::time_point log_refill{};
  std::map<int, std::size_t> child_walk, param_walk;
  std::map<int, std::pair<std::string, std::size_t>> dot_walk;
  std::optional<std::pair<int32_t, std::size_t>> command_walk;  // level, next index
};

// Serves one request: intermediate frames and exactly one result frame go to
// io. Returns false when io failed (the connection is then closed).
bool serve(State &st, Session &ss, Io &io, const Request &req);

// A result frame for a request that could not be invoked.
std::string invoke_error(uint32_t seq, int32_t status);

}  // namespace mgtd
