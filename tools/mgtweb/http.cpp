#include "http.hpp"

#include <arpa/inet.h>
#include <microhttpd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace mgtweb {

namespace {

// Every answer carries these: nothing but our own files may run or load,
// the page is never framed, types are never sniffed.
const std::pair<const char *, const char *> kSecurityHeaders[] = {
    {"Content-Security-Policy",
     "default-src 'self'; base-uri 'none'; form-action 'self'; frame-ancestors 'none'; object-src 'none'"},
    {"X-Content-Type-Options", "nosniff"},
    {"X-Frame-Options", "DENY"},
    {"Referrer-Policy", "no-referrer"},
};

// One connection's request in the making: the body arrives in pieces.
struct Pending {
  std::string body;
  bool too_large = false;
};

struct Stream {
  std::function<bool(std::string &)> next;
  std::string piece;
  std::size_t used = 0;
  bool ended = false;
};

ssize_t read_stream(void *cls, uint64_t, char *buf, size_t max) {
  auto *s = static_cast<Stream *>(cls);
  while (s->used == s->piece.size()) {
    if (s->ended) return MHD_CONTENT_READER_END_OF_STREAM;
    s->piece.clear();
    s->used = 0;
    if (!s->next(s->piece)) s->ended = true;
  }
  std::size_t n = std::min(max, s->piece.size() - s->used);
  std::memcpy(buf, s->piece.data() + s->used, n);
  s->used += n;
  return static_cast<ssize_t>(n);
}

void free_stream(void *cls) { delete static_cast<Stream *>(cls); }

MHD_Result queue(MHD_Connection *conn, Response &r) {
  MHD_Response *resp = nullptr;
  if (r.stream) {
    auto *s = new Stream{std::move(r.stream), {}, 0, false};
    resp = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 4096, read_stream, s, free_stream);
    if (!resp) delete s;
  } else {
    resp = MHD_create_response_from_buffer(r.body.size(), r.body.data(), MHD_RESPMEM_MUST_COPY);
  }
  if (!resp) return MHD_NO;
  for (const auto &[k, v] : kSecurityHeaders) MHD_add_response_header(resp, k, v);
  MHD_add_response_header(resp, "Content-Type", r.type.c_str());
  for (const auto &[k, v] : r.headers) MHD_add_response_header(resp, k.c_str(), v.c_str());
  MHD_Result ret = MHD_queue_response(conn, static_cast<unsigned>(r.status), resp);
  MHD_destroy_response(resp);
  return ret;
}

std::string peer_ip(MHD_Connection *conn) {
  const MHD_ConnectionInfo *ci = MHD_get_connection_info(conn, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  char text[INET6_ADDRSTRLEN] = {};
  if (!ci || !ci->client_addr) return "";
  if (ci->client_addr->sa_family == AF_INET)
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(ci->client_addr)->sin_addr, text, sizeof text);
  else if (ci->client_addr->sa_family == AF_INET6)
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 *>(ci->client_addr)->sin6_addr, text, sizeof text);
  return text;
}

struct Context {
  Handler *handler;
  bool tls;
};

MHD_Result on_request(void *cls, MHD_Connection *conn, const char *url, const char *method, const char *,
                      const char *upload, size_t *upload_size, void **con_cls) {
  auto *ctx = static_cast<Context *>(cls);
  auto *p = static_cast<Pending *>(*con_cls);
  if (!p) {
    *con_cls = p = new Pending;
    return MHD_YES;
  }
  if (*upload_size) {
    if (p->body.size() + *upload_size > kMaxBody) p->too_large = true;
    else p->body.append(upload, *upload_size);
    *upload_size = 0;
    return MHD_YES;
  }
  Response r;
  if (p->too_large) {
    r = Response::error(413, "Request too large");
  } else {
    Request req;
    req.conn = conn;
    req.method = method;
    req.path = url;
    req.body = std::move(p->body);
    req.client_ip = peer_ip(conn);
    req.tls = ctx->tls;
    try {
      r = (*ctx->handler)(req);
    } catch (const std::exception &e) {
      std::fprintf(stderr, "mgtweb: %s %s: %s\n", method, url, e.what());
      r = Response::error(500, "Internal error");
    }
  }
  return queue(conn, r);
}

void on_completed(void *, MHD_Connection *, void **con_cls, MHD_RequestTerminationCode) {
  delete static_cast<Pending *>(*con_cls);
  *con_cls = nullptr;
}

Context g_context;

// libmicrohttpd's own complaints (a client that breaks off a TLS handshake,
// say) go to the log with our name on them.
void log_http(void *, const char *fmt, va_list ap) {
  std::fputs("mgtweb: http: ", stderr);
  std::vfprintf(stderr, fmt, ap);
}

}  // namespace

std::string Request::header(const char *name) const {
  const char *v = MHD_lookup_connection_value(conn, MHD_HEADER_KIND, name);
  return v ? v : "";
}

std::string Request::cookie(const char *name) const {
  const char *v = MHD_lookup_connection_value(conn, MHD_COOKIE_KIND, name);
  return v ? v : "";
}

std::string Request::query(const char *name) const {
  const char *v = MHD_lookup_connection_value(conn, MHD_GET_ARGUMENT_KIND, name);
  return v ? v : "";
}

Response Response::json(int status, const nlohmann::json &body) {
  Response r;
  r.status = status;
  // Replacement characters rather than an exception for bytes that are not
  // UTF-8 (daemon texts are the daemon's business).
  r.body = body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  r.headers.emplace_back("Cache-Control", "no-store");
  return r;
}

Response Response::error(int status, std::string_view text) {
  return json(status, {{"error", text}});
}

bool Server::start(const ServerOptions &opts, Handler handler) {
  handler_ = std::make_unique<Handler>(std::move(handler));
  tls_ = !opts.cert_pem.empty();
  g_context = {handler_.get(), tls_};
  unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_THREAD_PER_CONNECTION | MHD_USE_ERROR_LOG;
  if (tls_) flags |= MHD_USE_TLS;
  sockaddr_in addr = opts.addr;
  if (tls_) {
    daemon_ = MHD_start_daemon(flags, ntohs(addr.sin_port), nullptr, nullptr, on_request, &g_context,
                               MHD_OPTION_SOCK_ADDR, &addr, MHD_OPTION_NOTIFY_COMPLETED, on_completed, nullptr,
                               MHD_OPTION_EXTERNAL_LOGGER, log_http, nullptr,
                               MHD_OPTION_CONNECTION_LIMIT, opts.max_connections, MHD_OPTION_CONNECTION_TIMEOUT,
                               opts.idle_timeout_s, MHD_OPTION_HTTPS_MEM_CERT, opts.cert_pem.c_str(),
                               MHD_OPTION_HTTPS_MEM_KEY, opts.key_pem.c_str(), MHD_OPTION_END);
  } else {
    daemon_ = MHD_start_daemon(flags, ntohs(addr.sin_port), nullptr, nullptr, on_request, &g_context,
                               MHD_OPTION_SOCK_ADDR, &addr, MHD_OPTION_NOTIFY_COMPLETED, on_completed, nullptr,
                               MHD_OPTION_EXTERNAL_LOGGER, log_http, nullptr,
                               MHD_OPTION_CONNECTION_LIMIT, opts.max_connections, MHD_OPTION_CONNECTION_TIMEOUT,
                               opts.idle_timeout_s, MHD_OPTION_END);
  }
  if (!daemon_) {
    std::fprintf(stderr, "mgtweb: cannot listen (address in use, or a bad certificate or key)\n");
    return false;
  }
  return true;
}

void Server::stop() {
  if (daemon_) MHD_stop_daemon(daemon_);
  daemon_ = nullptr;
}

int Server::port() const {
  const MHD_DaemonInfo *info = daemon_ ? MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT) : nullptr;
  return info ? info->port : -1;
}

}  // namespace mgtweb
