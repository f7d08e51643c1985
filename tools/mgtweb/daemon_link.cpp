#include "daemon_link.hpp"
#include "../common/local_socket.hpp"

#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <pam_lib.h>
#include <util_linux.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace mgtweb {

namespace {

std::mutex g_lock;            // the client context is the process's, not a thread's
std::string g_socket_path;
CommandSink *g_sink = nullptr;  // guarded by g_lock

using frontend::connect_local;

// Every hook runs inside some request's DaemonLock.

int print_out_hook(REPLY *frame, FILE **) {
  if (!frame || frame->hdr.chunk_len <= 0) return 0;
  int len = std::min(frame->hdr.chunk_len, SERVER_BUFFER_SIZE);
  if (g_sink) g_sink->output(std::string_view(frame->data, static_cast<std::size_t>(len)));
  return 0;
}

// The daemon marks a secret prompt with 1.
constexpr int kSecretPrompt = 1;

char *get_input_hook(const char *prompt, int value) {
  if (!g_sink) return nullptr;
  auto answer = g_sink->ask(prompt ? prompt : "", value == kSecretPrompt);
  if (!answer) return nullptr;
  char *copy = strdup(answer->c_str());  // the library frees it
  std::fill(answer->begin(), answer->end(), '\0');
  return copy;
}

// The daemon may ask its client to run a command on the client's machine;
// the output stays in the server's log, the outcome goes to the browser.
int run_cmd_hook(const char *command) {
  if (!command) return 0;
  int status = system_unmasked(command);
  if (g_sink) {
    std::string note = "[ran \"" + std::string(command) + "\": ";
    note += status != -1 && WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                                               : std::string("failed");
    g_sink->output(note + "]\n");
  }
  return status;
}

int reconnect_hook(MSG *) {
  int old = get_socket();
  set_socket(-1);
  if (old >= 0) close(old);
  int sock = connect_local(g_socket_path);
  set_socket(sock);
  if (sock < 0) {
    std::fprintf(stderr, "mgtweb: the connection to mgtd was lost and reconnecting failed: %s\n",
                 std::strerror(errno));
    return -1;
  }
  std::fprintf(stderr, "mgtweb: the connection to mgtd was lost; reconnected\n");
  return 0;
}

}  // namespace

void link_init(const std::string &socket_path) {
  g_socket_path = socket_path;
  set_print_out(print_out_hook);
  set_get_input_func(get_input_hook);
  set_run_cmd_function(run_cmd_hook);
  set_reconnect_func(reconnect_hook);
  set_debug_print(nullptr);
  std::lock_guard<std::mutex> hold(g_lock);
  set_socket(connect_local(socket_path));
}

DaemonLock::DaemonLock(const Identity *who, CommandSink *sink) {
  g_lock.lock();
  g_sink = sink;
  if (get_socket() < 0) set_socket(connect_local(g_socket_path));
  if (who) {
    set_privelege(who->level);
    set_uid(who->uid);
  }
}

DaemonLock::~DaemonLock() {
  g_sink = nullptr;
  // Nothing of this user's rights lingers for a request that forgets to set
  // its own.
  set_privelege(0);
  set_uid(-1);
  g_lock.unlock();
}

bool DaemonLock::connected() const { return get_socket() >= 0; }

std::string DaemonLock::last_error() const {
  int err = get_err();
  if (err == 0) return "The request failed";
  char text[DM_TEXT_SIZE] = {};
  if (DM_GetStrErr(err, static_cast<int>(sizeof text), text) == -1 || !text[0])
    return "Error " + std::to_string(err);
  return text;
}

}  // namespace mgtweb
