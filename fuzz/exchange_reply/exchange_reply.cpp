// The reply side of an exchange: the input (after one option byte) is the
// byte stream the daemon sends, fed through a socketpair into a remote call.
// The daemon's end is shut for writing after the bytes, so a stream that
// runs out ends the call at once (end of file) instead of waiting for a
// time-out; with and without a time-out both receive paths are covered.
//
// Option byte: bit 0 selects a time-out (1000 ms, never reached) or none;
// bits 1-2 the out items of the call; bit 3 installs no hooks at all.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "../common/fuzz_support.hpp"
#include "pam_lib.h"
#include "pam_lib/context.hpp"
#include "pam_lib/exchange.hpp"

namespace {

int g_reconnects = 0;
volatile unsigned g_sink = 0;

int debug_print(const char *, ...) { return 0; }
int reconnect(MSG *msg) {
  ++g_reconnects;
  g_sink = g_sink + msg->hdr.opcode;  // the message must still be alive here
  return 0;
}
// Touches every byte the library says it handed over.
int print_out(REPLY *frame, FILE **) {
  for (int i = 0; i < frame->hdr.chunk_len; ++i) g_sink = g_sink + static_cast<unsigned char>(frame->data[i]);
  return 0;
}
char *get_input(const char *prompt, int value) {
  size_t n = std::strlen(prompt);
  if (n == 0) return nullptr;  // an empty line
  std::string line = "answer" + std::to_string(value % 1000);
  return strdup(line.c_str());
}
int run_cmd(const char *command) {
  g_sink = g_sink + static_cast<unsigned>(std::strlen(command));
  return 0;
}

MSG *make_call(int layout, int32_t *num, char *name, unsigned char *arr) {
  MSG *msg = CreateMsg(26);
  if (!msg) return nullptr;
  AddIntToMsg(msg, 1);
  AddStrToMsg(msg, "status");
  switch (layout) {
    case 0:  // no out items
      break;
    case 1:
      AddPtrToMsg(msg, 4, num);
      break;
    case 2:
      AddStrPtrToMsg(msg, DM_NAME_SIZE, name);
      AddPtrToMsg(msg, 4, num);
      break;
    default:
      AddPtrToMsg(msg, 4, num);
      AddArrayToMsg(msg, 8, arr);
      AddStrPtrToMsg(msg, DM_NAME_SIZE, name);
      AddStrPtrToMsg(msg, 5, name + DM_NAME_SIZE);
      break;
  }
  return msg;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  // "recieved bad header" lines go to standard output; keep the log readable.
  int null = ::open("/dev/null", O_WRONLY);
  if (null >= 0) ::dup2(null, 1);
  static std::string xml_base = fuzzsupport::temp_dir() + "/xml";
  pl::testing::set_xml_base(xml_base.c_str());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1 || size > (1u << 20)) return 0;
  const uint8_t opt = data[0];
  ++data;
  --size;

  int sv[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return 0;
  int big = 4 << 20;
  ::setsockopt(sv[1], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
  ::setsockopt(sv[0], SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
  // What does not fit the socket buffer is cut: the call must still end.
  size_t off = 0;
  while (off < size) {
    ssize_t n = ::send(sv[1], data + off, size - off, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n <= 0) break;
    off += static_cast<size_t>(n);
  }
  ::shutdown(sv[1], SHUT_WR);

  const bool hooks = !(opt & 8);
  set_debug_print(hooks ? debug_print : nullptr);
  set_reconnect_func(hooks ? reconnect : nullptr);
  set_print_out(hooks ? print_out : nullptr);
  set_get_input_func(hooks ? get_input : nullptr);
  set_run_cmd_function(hooks ? run_cmd : nullptr);
  set_socket(sv[0]);
  pl::g_ctx.timeout = (opt & 1) ? 1000 : 0;
  pl::testing::set_next_sequence(0);

  int32_t num = 0;
  char name[DM_NAME_SIZE + 5] = {};
  unsigned char arr[8] = {};
  g_reconnects = 0;
  MSG *msg = make_call((opt >> 1) & 3, &num, name, arr);
  int r = SendAndRcv(msg);
  // reconnect_func runs at most once, and never for a call that succeeded.
  if (r != ERROR && g_reconnects != 0) __builtin_trap();
  if (g_reconnects > 1) __builtin_trap();
  // Out strings never lose their terminator.
  if (r != ERROR && (opt >> 1 & 3) >= 2 && !std::memchr(name, '\0', DM_NAME_SIZE)) __builtin_trap();

  set_socket(-1);
  ::close(sv[0]);
  ::close(sv[1]);
  return 0;
}
