#include "pam_lib/exchange.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "common/alloc.hpp"
#include "common/log.hpp"
#include "common/raii.hpp"
#include "pam_lib/context.hpp"
#include "pam_lib/transport.hpp"
#include "pam_lib/wire.hpp"

namespace pl {
namespace {

constexpr const char *kXmlBase = "/mnt/temp/xml";
const char *g_xml_base = kXmlBase;

uint32_t g_seq = 0;        // sequence number of the next exchange
char g_xml_name[256];      // the text GetXMLFileName hands out

constexpr size_t kExchangeBufLen = REPLY_HDR_LEN + SERVER_BUFFER_SIZE;  // 4144
static_assert(sizeof(REPLY) == kExchangeBufLen);

// The text of a prompt or command frame. It ends at its NUL or at the end of
// the chunk, whichever comes first: nothing past the received bytes is read.
// `spare` gives room for the NUL when the chunk carries none.
const char *chunk_text(const REPLY *frame, char (&spare)[SERVER_BUFFER_SIZE + 1]) noexcept {
  int n = frame->hdr.chunk_len;
  if (n < 0) n = 0;
  if (n > SERVER_BUFFER_SIZE) n = SERVER_BUFFER_SIZE;
  if (std::memchr(frame->data, '\0', static_cast<size_t>(n))) return frame->data;
  std::memcpy(spare, frame->data, static_cast<size_t>(n));
  spare[n] = '\0';
  return spare;
}

// A plain blocking send of the whole buffer: the kernel may take it in
// pieces, and a non-blocking socket is waited on rather than given up.
ssize_t send_whole(int sock, const char *p, size_t len) noexcept {
  size_t sent = 0;
  while (sent < len) {
    ssize_t n = ::send(sock, p + sent, len - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd pfd{sock, POLLOUT, 0};
      if (::poll(&pfd, 1, -1) < 0 && errno != EINTR) return -1;
      continue;
    }
    if (n < 0) return -1;
    sent += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(sent);
}

// Opens the XML output file for a new exchange's output. Its name is
// predictable and its directory may be shared, so a symlink, hard link, FIFO
// or file of another user placed there is refused (null, as any file that
// cannot be opened) rather than written through; the file is emptied only
// after it passed.
std::FILE *open_xml_file(const char *name) noexcept {
  int fd = ::open(name, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT)
    fd = ::open(name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() ||
      st.st_nlink != 1 || ::ftruncate(fd, 0) != 0) {
    ::close(fd);
    return nullptr;
  }
  std::FILE *f = ::fdopen(fd, "w");
  if (!f) ::close(fd);
  return f;
}

void trace(const char *fmt, int sock, uint32_t seq) noexcept {
  if (g_hooks.debug_print) g_hooks.debug_print(fmt, sock, static_cast<int>(seq));
}

}  // namespace

int get_input_line(REPLY *frame) noexcept {
  char spare[SERVER_BUFFER_SIZE + 1];
  MallocPtr<char> answer;
  if (g_hooks.get_input) answer.reset(g_hooks.get_input(chunk_text(frame, spare), frame->hdr.result));
  const char *line = answer ? answer.get() : "";
  const size_t n = std::strlen(line) + 1;

  MallocPtr<char> line_input(static_cast<char *>(alloc(4 + n)));
  if (!line_input) {
    report("line_input == NULL", "pam_lib", "get_input_line", 540);
    return ERROR;
  }
  const int32_t word = static_cast<int32_t>(n);
  std::memcpy(line_input.get(), &word, 4);
  std::memcpy(line_input.get() + 4, line, n);
  ssize_t err = send_whole(g_ctx.socket, line_input.get(), 4 + n);
  if (err == ERROR) {
    report("err == ERROR", "pam_lib", "get_input_line", 544);
    return ERROR;
  }
  return 0;
}

int run_cmd_line(REPLY *frame) noexcept {
  // A command longer than one chunk would be run cut short, which may be a
  // different command than the daemon sent: it is never run.
  const int n = frame->hdr.chunk_len > 0 ? frame->hdr.chunk_len : 0;
  if (frame->hdr.data_len > n && !std::memchr(frame->data, '\0', static_cast<size_t>(n))) {
    if (g_hooks.debug_print)
      g_hooks.debug_print("%d:client- command of %d bytes is too long, not run\n", g_ctx.socket,
                          static_cast<int>(frame->hdr.data_len));
    return 0;
  }
  if (g_hooks.run_cmd) {
    char spare[SERVER_BUFFER_SIZE + 1];
    g_hooks.run_cmd(chunk_text(frame, spare));
  }
  return 0;
}

int SendAndRcvSocketWithTimeout(int sock, MSG *msg, int timeout_ms) noexcept {
  const uint32_t seq = g_seq++;
  int result = ERROR;
  MallocPtr<unsigned char> buf;
  FILE *pipe_stream = nullptr;  // the slot the print_out hook may fill
  UniqueFile xml;
  bool failed = true;

  // The exchange proper; `false` leads to the failure path.
  auto run = [&]() noexcept -> bool {
    if (sock == -1) return false;
    buf.reset(static_cast<unsigned char *>(alloc(kExchangeBufLen)));
    if (!buf) {
      report("buf == NULL", "pam_lib", "SendAndRcvSocketWithTimeout", 598);
      return false;
    }
    int len = PrepareSendMsg(msg, buf.get(), seq);
    if (len == 0) {
      report("len == 0", "pam_lib", "SendAndRcvSocketWithTimeout", 600);
      return false;
    }
    int sent = timed_send(sock, buf.get(), len, 0, timeout_ms);
    // A plain send (no time-out) that a signal interrupts may stop short;
    // the rest follows, or the daemon would wait for it forever.
    while (sent > 0 && sent < len) {
      int n = timed_send(sock, buf.get() + sent, len - sent, 0, timeout_ms);
      sent = n > 0 ? sent + n : n;
    }
    trace("%d: client -send %d\n", sock, seq);
    if (sent <= 0) return false;

    auto *area = reinterpret_cast<REPLY *>(buf.get());
    REPLY *frame = nullptr;
    int new_frame = 1;
    for (;;) {
      if (get_rcv_buf(sock, area, &frame, &new_frame, timeout_ms, seq) == ERROR) return false;
      trace("%d:client- recieve %d\n", sock, seq);
      // The first chunk of a prompt, command or unknown frame serves the
      // whole frame; the rest is dropped so the next read starts at a header.
      const bool first_chunk = frame->hdr.received == frame->hdr.chunk_len;
      switch (frame->hdr.type) {
        case REPLY_RESULT:
          // The out items are decoded from the first 4096 data bytes: make
          // sure all of them are here, whatever one receive returned.
          if (!new_frame && fill_chunk(sock, area, &new_frame, SERVER_BUFFER_SIZE, timeout_ms) == ERROR)
            return false;
          result = handle_cmd_result(frame, msg);
          // Keep the connection in step for the next call.
          if (!new_frame && drain_frame(sock, area, &new_frame, timeout_ms) == ERROR) {
            result = ERROR;
            return false;
          }
          return true;
        case REPLY_PRINT: {
          if (g_hooks.print_out) g_hooks.print_out(frame, &pipe_stream);
          break;
        }
        case REPLY_XML:
          if (!xml) xml.reset(open_xml_file(GetXMLFileName()));
          if (xml && frame->hdr.chunk_len > 0)
            std::fwrite(frame->data, 1, static_cast<size_t>(frame->hdr.chunk_len), xml.get());
          break;
        case REPLY_INPUT:
          if (first_chunk) get_input_line(frame);
          break;
        case REPLY_PRINT_END:
          if (pipe_stream) ::pclose(std::exchange(pipe_stream, nullptr));
          break;
        case REPLY_RUN_CMD:
          if (first_chunk) {
            // The whole first chunk is needed to tell a complete command.
            if (!new_frame && fill_chunk(sock, area, &new_frame, SERVER_BUFFER_SIZE, timeout_ms) == ERROR)
              return false;
            run_cmd_line(frame);
          }
          break;
        default:
          std::printf("recieved bad header %d\n", frame->hdr.type);
          if (!new_frame && drain_frame(sock, area, &new_frame, timeout_ms) == ERROR) return false;
          new_frame = 1;
          break;
      }
    }
  };
  failed = !run();

  if (failed) {
    trace("%d:client-recieve failed %d\n", sock, seq);
    if (g_hooks.reconnect) g_hooks.reconnect(msg);
    result = ERROR;
  }
  // Clean-up: the buffer, a pipe stream still open, the XML stream (the file
  // itself stays for the host).
  buf.reset();
  if (pipe_stream) ::pclose(pipe_stream);
  xml.reset();
  return result;
}

namespace testing {
void set_xml_base(const char *prefix) noexcept { g_xml_base = prefix ? prefix : kXmlBase; }
uint32_t next_sequence() noexcept { return g_seq; }
void set_next_sequence(uint32_t seq) noexcept { g_seq = seq; }
}  // namespace testing

}  // namespace pl

extern "C" {

PAM_LIB_API int SendAndRcv(MSG *msg) noexcept {
  int result = pl::SendAndRcvSocketWithTimeout(pl::g_ctx.socket, msg, pl::g_ctx.timeout);
  std::free(msg);
  return result;
}

PAM_LIB_API char *GetXMLFileName(void) noexcept {
  std::snprintf(pl::g_xml_name, sizeof pl::g_xml_name, "%s.%d_%d", pl::g_xml_base,
                static_cast<int>(::getpid()), pl::g_ctx.socket);
  return pl::g_xml_name;
}

}  // extern "C"
