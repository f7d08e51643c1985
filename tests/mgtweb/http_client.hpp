// A small blocking HTTP/1.1 client for the tests and the benchmark: one
// keep-alive connection, bodies by Content-Length or chunked.
#pragma once

#include <map>
#include <string>

namespace webtest {

struct Reply {
  int status = 0;                              // 0: no answer
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;
  std::string header(const std::string &name) const { return headers.count(name) ? headers.at(name) : ""; }
};

class HttpClient {
 public:
  explicit HttpClient(int port) : port_(port) {}
  ~HttpClient() { close_connection(); }
  // extra: further header lines, each ending in "\r\n".
  Reply request(const std::string &method, const std::string &path, const std::string &body = "",
                const std::string &extra = "");
  void close_connection();

 private:
  bool fill(std::size_t n);  // reads until buf_ holds n bytes
  int port_, fd_ = -1;
  std::string buf_;
};

}  // namespace webtest
