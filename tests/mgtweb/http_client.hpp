// A small blocking HTTP/1.1 client for the tests and the benchmark: one
// keep-alive connection, bodies by Content-Length or chunked.
#pragma once

#include <map>
#include <string>

namespace webtest {

struct Reply {
  int status = 0;  // 0: no answer (connection failed)
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;
  std::string header(const std::string &name) const {
    auto it = headers.find(name);
    return it == headers.end() ? "" : it->second;
  }
};

class HttpClient {
 public:
  explicit HttpClient(int port) : port_(port) {}
  ~HttpClient();
  HttpClient(const HttpClient &) = delete;
  HttpClient &operator=(const HttpClient &) = delete;

  // Sends one request on the kept connection (reconnecting when needed).
  // extra: further header lines, each ending in "\r\n".
  Reply request(const std::string &method, const std::string &path, const std::string &body = "",
                const std::string &extra = "");
  void close_connection();

 private:
  bool ensure();
  bool read_more();
  int port_;
  int fd_ = -1;
  std::string buf_;
};

}  // namespace webtest
