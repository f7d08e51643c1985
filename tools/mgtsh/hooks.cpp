#include "hooks.hpp"

#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <pam_lib.h>
#include <util_linux.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "escape.hpp"
#include "terminal.hpp"
#include "../common/local_socket.hpp"

namespace mgtsh {

namespace {

HookSettings g_settings;
// The slot of the running exchange in which print_out left a pager, so that
// a question or a command from the daemon can close the pager first.
FILE **g_pager_slot = nullptr;
int g_reconnects = 0;
// The start of a UTF-8 sequence that the last printed chunk ended in.
std::string g_carry;

// Waits for the pager to finish showing what it has, so that what comes
// next is not mixed into its output.
void close_pager() {
  if (g_pager_slot && *g_pager_slot) {
    pclose(*g_pager_slot);
    *g_pager_slot = nullptr;
  }
}

int print_out_hook(REPLY *frame, FILE **pipe_stream) {
  if (!frame) return 0;
  int len = frame->hdr.chunk_len;
  if (len <= 0) return 0;
  if (len > SERVER_BUFFER_SIZE) len = SERVER_BUFFER_SIZE;
  FILE *out = stdout;
  if (!g_settings.pager.empty() && pipe_stream) {
    if (!*pipe_stream) {
      std::fflush(stdout);
      *pipe_stream = popen(g_settings.pager.c_str(), "w");
    }
    if (*pipe_stream) {
      out = *pipe_stream;
      g_pager_slot = pipe_stream;
    }
  }
  // The daemon's text may hold terminal controls: they are shown escaped.
  const std::string text = shown_piece(std::string_view(frame->data, static_cast<std::size_t>(len)), g_carry);
  std::fwrite(text.data(), 1, text.size(), out);
  std::fflush(out);  // output streams while the command runs
  return 0;
}

char *get_input_hook(const char *prompt, int value) {
  close_pager();
  if (!g_settings.input) return nullptr;
  auto line = g_settings.input->answer(shown(prompt ? prompt : "", true), value == g_settings.secret_value);
  if (!line) return nullptr;
  char *copy = strdup(line->c_str());  // the library frees it
  wipe(*line);
  return copy;
}

int run_cmd_hook(const char *command) {
  if (!command) return 0;
  close_pager();
  std::fflush(stdout);
  std::fflush(stderr);
  int status = system_unmasked(command);
  const std::string name = shown(command);
  if (status == -1) {
    std::fprintf(stderr, "mgtsh: cannot run \"%s\"\n", name.c_str());
  } else if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "mgtsh: \"%s\" exited with status %d\n", name.c_str(), WEXITSTATUS(status));
  }
  return status;
}

int reconnect_hook(MSG *) {
  close_pager();
  int old = get_socket();
  set_socket(-1);
  if (old >= 0) close(old);
  int sock = connect_daemon(g_settings.endpoint);
  set_socket(sock);
  if (sock < 0) {
    std::fprintf(stderr, "mgtsh: the connection to mgtd was lost and reconnecting failed: %s\n",
                 std::strerror(errno));
    return -1;
  }
  ++g_reconnects;
  std::fprintf(stderr, "mgtsh: the connection to mgtd was lost; reconnected\n");
  return 0;
}

int debug_hook(const char *fmt, ...) {
  std::va_list ap;
  va_start(ap, fmt);
  std::fputs("mgtsh debug: ", stderr);
  int n = std::vfprintf(stderr, fmt, ap);
  va_end(ap);
  return n;
}

using frontend::connect_local;

}  // namespace

int connect_daemon(const Endpoint &ep) {
  errno = 0;
  int sock = -1;
  switch (ep.kind) {
    case Endpoint::Default: sock = client_Init(); break;
    case Endpoint::Local: sock = connect_local(ep.address); break;
    case Endpoint::Tcp: sock = client_Init_External(ep.address.c_str(), ep.timeout_ms); break;
  }
  if (sock < 0 && errno == 0) errno = ECONNREFUSED;
  return sock;
}

void install_hooks(const HookSettings &settings) {
  g_settings = settings;
  set_print_out(print_out_hook);
  set_get_input_func(get_input_hook);
  set_run_cmd_function(run_cmd_hook);
  set_reconnect_func(reconnect_hook);
  set_debug_print(settings.debug ? debug_hook : nullptr);
}

void exchange_done() {
  g_pager_slot = nullptr;
  if (!g_carry.empty()) std::fputs(shown_piece({}, g_carry).c_str(), stdout);
}

int reconnect_count() { return g_reconnects; }

}  // namespace mgtsh
