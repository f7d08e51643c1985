#include "http_client.hpp"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

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

bool HttpClient::until(const std::string &mark, std::size_t &at) {
  while ((at = buf_.find(mark)) == std::string::npos)
    if (!fill(buf_.size() + 1)) return false;
  return true;
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
    std::size_t end = 0;
    if (send(fd_, req.data(), req.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(req.size()) || !until("\r\n\r\n", end)) {
      close_connection();
      continue;
    }
    std::istringstream head(buf_.substr(0, end));
    buf_.erase(0, end + 4);
    std::string line;
    std::getline(head, line);
    r.status = std::atoi(line.substr(line.find(' ') + 1).c_str());
    while (std::getline(head, line) && line.find(':') != std::string::npos) {
      std::string name = line.substr(0, line.find(':')), value = line.substr(line.find(':') + 1);
      std::transform(name.begin(), name.end(), name.begin(), ::tolower);
      value.erase(0, value.find_first_not_of(' '));
      r.headers[name] = value.substr(0, value.find_last_not_of('\r') + 1);
    }
    for (std::size_t size = 1, eol = 0; r.header("transfer-encoding") == "chunked" && size > 0;) {
      if (!until("\r\n", eol) || !fill(eol + 4 + (size = std::strtoul(buf_.c_str(), nullptr, 16)))) return r;
      r.body.append(buf_, eol + 2, size);
      buf_.erase(0, eol + 4 + size);
    }
    if (r.header("transfer-encoding") != "chunked") {
      std::size_t len = std::strtoul(r.header("content-length").c_str(), nullptr, 10);
      fill(len);
      r.body = buf_.substr(0, len);
      buf_.erase(0, std::min(len, buf_.size()));
    }
    if (r.header("connection") == "close") close_connection();
  }
  return r;
}

}  // namespace webtest
