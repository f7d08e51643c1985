// The HTTP side: libmicrohttpd runs the connections (one thread each), this
// turns each request into a Request, hands it to one handler and sends the
// Response back with the headers every answer carries.
#pragma once

#include <netinet/in.h>

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

struct MHD_Connection;
struct MHD_Daemon;

namespace mgtweb {

struct Request {
  MHD_Connection *conn = nullptr;
  std::string method, path, body, client_ip;
  bool tls = false;
  std::string header(const char *name) const;  // "" when absent
  std::string cookie(const char *name) const;
  std::string query(const char *name) const;
};

struct Response {
  int status = 200;
  std::string type = "application/json";
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
  // Set for a response sent as it is produced: each call blocks until it
  // has the next piece in `out`; false ends the response.
  std::function<bool(std::string &out)> stream;

  static Response json(int status, const nlohmann::json &body);
  static Response error(int status, std::string_view text);
};

using Handler = std::function<Response(const Request &)>;

struct ServerOptions {
  sockaddr_in addr{};
  std::string cert_pem, key_pem;  // both set: HTTPS
  unsigned max_connections = 64;
  unsigned idle_timeout_s = 120;  // an idle keep-alive connection is closed
};

class Server {
 public:
  Server() = default;
  ~Server() { stop(); }
  Server(const Server &) = delete;
  Server &operator=(const Server &) = delete;

  // Starts serving; false with a message on standard error when it cannot.
  bool start(const ServerOptions &opts, Handler handler);
  void stop();
  int port() const;  // the bound port (useful with port 0)

 private:
  MHD_Daemon *daemon_ = nullptr;
  std::unique_ptr<Handler> handler_;
  bool tls_ = false;
};

// The largest request body accepted (413 beyond).
inline constexpr std::size_t kMaxBody = 64 * 1024;

}  // namespace mgtweb
