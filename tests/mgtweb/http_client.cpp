#include "web_env.hpp"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <unistd.h>

#include <regex>

namespace webtest {

void HttpClient::close_connection() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  buf_.clear();
}

bool HttpClient::fill(std::size_t n) {
  char tmp[16384];
  for (ssize_t got = 1; buf_.size() < n && got > 0;)
    if ((got = recv(fd_, tmp, sizeof tmp, 0)) > 0) buf_.append(tmp, static_cast<std::size_t>(got));
  return buf_.size() >= n;
}

Reply HttpClient::request(const std::string &method, const std::string &path, const std::string &body,
                          const std::string &extra) {
  Reply r;
  for (int attempt = 0; attempt < 2 && r.status == 0; ++attempt) {  // a kept connection may have been closed
    if (fd_ < 0) {
      fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in a{AF_INET, htons(static_cast<uint16_t>(port_)), {htonl(INADDR_LOOPBACK)}, {}};
      int one = 1;
      timeval tv{20, 0};
      setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
      if (connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) return close_connection(), r;
    }
    std::string req = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) + "\r\n" + extra +
                      (method == "GET" ? "" : "Content-Length: " + std::to_string(body.size()) + "\r\n") + "\r\n" + body;
    std::size_t end = std::string::npos;
    if (send(fd_, req.data(), req.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(req.size()))
      while ((end = buf_.find("\r\n\r\n")) == std::string::npos && fill(buf_.size() + 1)) {
      }
    if (end == std::string::npos) {
      close_connection();
      continue;
    }
    std::string head = buf_.substr(0, end + 2);
    buf_.erase(0, end + 4);
    r.status = std::atoi(head.c_str() + head.find(' ') + 1);
    static const std::regex field("\r\n([^:\r\n]+): *([^\r\n]*)");
    for (std::sregex_iterator m(head.begin(), head.end(), field), e; m != e; ++m) {
      std::string name = (*m)[1];
      for (char &c : name) c = static_cast<char>(std::tolower(c));
      r.headers[name] = (*m)[2];
    }
    std::size_t len = std::strtoul(r.header("content-length").c_str(), nullptr, 10);  // no streams here
    fill(len);
    r.body = buf_.substr(0, len);
    buf_.erase(0, std::min(len, buf_.size()));
    if (r.header("connection") == "close") close_connection();
  }
  return r;
}

}  // namespace webtest
