#include "terminal.hpp"

#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#if MGTSH_HAVE_LIBEDIT
#include <editline/readline.h>
#endif

namespace mgtsh {

namespace {

Completer g_completer;

#if MGTSH_HAVE_LIBEDIT
std::vector<std::string> g_matches;

char *next_match(const char *, int state) {
  static std::size_t index;
  if (state == 0) index = 0;
  if (index >= g_matches.size()) return nullptr;
  return strdup(g_matches[index++].c_str());
}

char **complete(const char *word, int start, int) {
  rl_attempted_completion_over = 1;  // never fall back to file names
  if (!g_completer) return nullptr;
  std::string before(rl_line_buffer, static_cast<std::size_t>(start));
  g_matches = g_completer(before, word);
  if (g_matches.empty()) return nullptr;
  return rl_completion_matches(word, next_match);
}
#endif

// Turns terminal echo off on standard input while alive.
class EchoOff {
 public:
  EchoOff() {
    if (tcgetattr(STDIN_FILENO, &saved_) == 0) {
      termios quiet = saved_;
      quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
      quiet.c_lflag |= ECHONL;
      active_ = tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
    }
  }
  ~EchoOff() {
    if (active_) tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_);
  }
  EchoOff(const EchoOff &) = delete;
  EchoOff &operator=(const EchoOff &) = delete;

 private:
  termios saved_{};
  bool active_ = false;
};

// Reads a line from a script on buffered standard input.
std::optional<std::string> stdin_line() {
  char *buf = nullptr;
  std::size_t cap = 0;
  ssize_t n = getline(&buf, &cap, stdin);
  if (n < 0) {
    std::free(buf);
    return std::nullopt;
  }
  std::string line(buf, static_cast<std::size_t>(n));
  std::memset(buf, 0, cap);  // it may have held a password
  std::free(buf);
  if (!line.empty() && line.back() == '\n') line.pop_back();
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

}  // namespace

std::optional<std::string> read_fd_line(int fd) {
  std::string line;
  bool any = false;
  for (;;) {
    char c;
    ssize_t n = read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    any = true;
    if (c == '\n') break;
    line += c;
  }
  if (!any) return std::nullopt;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

void wipe(std::string &s) {
  volatile char *p = s.data();
  for (std::size_t i = 0; i < s.size(); ++i) p[i] = 0;
  s.clear();
}

LineInput::LineInput(bool tty, bool edit) : tty_(tty), edit_(edit) {
#if MGTSH_HAVE_LIBEDIT
  if (interactive()) {
    rl_readline_name = "mgtsh";
    rl_attempted_completion_function = complete;
    using_history();
  }
#endif
}

LineInput::~LineInput() = default;

void LineInput::set_completer(Completer c) { g_completer = std::move(c); }

std::optional<std::string> LineInput::command(const std::string &prompt) {
  if (!interactive()) return stdin_line();
#if MGTSH_HAVE_LIBEDIT
  char *raw = readline(prompt.c_str());
  if (!raw) return std::nullopt;
  std::string line(raw);
  std::free(raw);
  if (line.find_first_not_of(" \t") != std::string::npos) add_history(line.c_str());
  return line;
#else
  std::fputs(prompt.c_str(), stdout);
  std::fflush(stdout);
  return read_fd_line(STDIN_FILENO);
#endif
}

std::optional<std::string> LineInput::answer(const std::string &prompt, bool secret) {
  std::fflush(stdout);
  if (!tty_) {
    // A script answers on its next line; show the question on standard
    // error so that the transcript stays readable.
    std::fputs(prompt.c_str(), stderr);
    auto line = stdin_line();
    std::fputs(secret || !line ? "\n" : (*line + "\n").c_str(), stderr);
    return line;
  }
  std::fputs(prompt.c_str(), stdout);
  std::fflush(stdout);
  if (!secret) return read_fd_line(STDIN_FILENO);
  EchoOff quiet;
  return read_fd_line(STDIN_FILENO);
}

}  // namespace mgtsh
