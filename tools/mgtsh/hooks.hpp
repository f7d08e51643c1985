// The five hooks through which the daemon prints, asks, runs commands and
// reports on the connection, and how mgtsh connects to the daemon.
#pragma once

#include <string>

namespace mgtsh {

class LineInput;

// How to reach the daemon.
struct Endpoint {
  enum Kind { Default, Local, Tcp } kind = Default;
  std::string address;  // socket path (Local) or IPv4 address (Tcp)
  int timeout_ms = 10000;  // Tcp: connect and exchange time-out
};

// Opens a connection and returns the socket, or -1 with errno describing
// the failure. Default uses client_Init ("/tmp/mgtd1", then "/tmp/mgtd");
// Tcp uses client_Init_External; Local connects to a socket path of the
// developer's choice.
int connect_daemon(const Endpoint &ep);

struct HookSettings {
  LineInput *input = nullptr;
  Endpoint endpoint;
  std::string pager;  // empty: print straight to standard output
  bool debug = false;
  // Value of a REPLY_INPUT frame that asks for a secret (no echo).
  int secret_value = 1;
};

// Installs the hooks with these settings (kept until the process ends).
void install_hooks(const HookSettings &settings);

// Call after every remote call: forgets the exchange's pipe-stream slot,
// which lives only as long as the exchange.
void exchange_done();

// Wraps one remote call: runs it and forgets its exchange state.
template <class Fn, class... Args>
int remote(Fn fn, Args... args) {
  int r = fn(args...);
  exchange_done();
  return r;
}

// Number of reconnections made so far (for messages and tests).
int reconnect_count();

}  // namespace mgtsh
