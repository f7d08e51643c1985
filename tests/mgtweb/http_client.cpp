#include "http_client.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>

namespace webtest {

HttpClient::~HttpClient() { close_connection(); }

void HttpClient::close_connection() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  buf_.clear();
}

bool HttpClient::ensure() {
  if (fd_ >= 0) return true;
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port_));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int one = 1;
  setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  timeval tv{20, 0};
  setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  if (connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
    close_connection();
    return false;
  }
  return true;
}

bool HttpClient::read_more() {
  char tmp[16384];
  ssize_t n = recv(fd_, tmp, sizeof tmp, 0);
  if (n <= 0) return false;
  buf_.append(tmp, static_cast<std::size_t>(n));
  return true;
}

Reply HttpClient::request(const std::string &method, const std::string &path, const std::string &body,
                          const std::string &extra) {
  Reply r;
  for (int attempt = 0; attempt < 2 && r.status == 0; ++attempt) {
    if (!ensure()) return r;
    std::string req = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) + "\r\n" + extra;
    if (!body.empty() || method == "POST" || method == "PUT")
      req += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    req += "\r\n" + body;
    if (send(fd_, req.data(), req.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(req.size())) {
      close_connection();
      continue;
    }
    std::size_t end;
    while ((end = buf_.find("\r\n\r\n")) == std::string::npos)
      if (!read_more()) break;
    if (end == std::string::npos) {
      close_connection();  // a kept connection the server had closed
      continue;
    }
    std::istringstream head(buf_.substr(0, end));
    buf_.erase(0, end + 4);
    std::string line;
    std::getline(head, line);
    r.status = std::atoi(line.substr(line.find(' ') + 1).c_str());
    while (std::getline(head, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      auto colon = line.find(':');
      if (colon == std::string::npos) continue;
      std::string name = line.substr(0, colon);
      std::transform(name.begin(), name.end(), name.begin(), ::tolower);
      std::string value = line.substr(colon + 1);
      value.erase(0, value.find_first_not_of(' '));
      r.headers[name] = value;
    }
    if (method == "HEAD") break;
    if (r.header("transfer-encoding") == "chunked") {
      for (;;) {
        std::size_t eol;
        while ((eol = buf_.find("\r\n")) == std::string::npos)
          if (!read_more()) return r;
        std::size_t size = std::strtoul(buf_.c_str(), nullptr, 16);
        while (buf_.size() < eol + 2 + size + 2)
          if (!read_more()) return r;
        r.body.append(buf_, eol + 2, size);
        buf_.erase(0, eol + 2 + size + 2);
        if (size == 0) break;
      }
    } else {
      std::size_t len = std::strtoul(r.header("content-length").c_str(), nullptr, 10);
      while (buf_.size() < len)
        if (!read_more()) break;
      r.body = buf_.substr(0, len);
      buf_.erase(0, std::min(len, buf_.size()));
    }
    if (r.header("connection") == "close") close_connection();
  }
  return r;
}

}  // namespace webtest
