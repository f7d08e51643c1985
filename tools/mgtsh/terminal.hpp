// Where mgtsh's lines come from: the terminal (with line editing and history
// when libedit is available) or a script on standard input. Prompts of the
// daemon and of the login are answered from the same source, so a script can
// carry the answers on the lines after the command that asks.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace mgtsh {

// Candidate words for tab completion of the word being typed, given the
// line before it.
using Completer = std::function<std::vector<std::string>(const std::string &before, const std::string &word)>;

class LineInput {
 public:
  // tty: standard input is a terminal (answers can be read without echo).
  // edit: commands are read from it with line editing and history.
  LineInput(bool tty, bool edit);
  ~LineInput();
  LineInput(const LineInput &) = delete;
  LineInput &operator=(const LineInput &) = delete;

  // Commands come from a person at a terminal rather than from a script.
  bool interactive() const { return tty_ && edit_; }

  // A command line (kept in the history when interactive); nullopt at the
  // end of input.
  std::optional<std::string> command(const std::string &prompt);

  // An answer to a question. The prompt goes to the terminal (standard
  // error when reading a script). secret: not echoed. nullopt at the end of
  // input.
  std::optional<std::string> answer(const std::string &prompt, bool secret);

  void set_completer(Completer c);

 private:
  bool tty_, edit_;
};

// Reads one line from descriptor fd without buffering ahead of it (the
// descriptor may be shared with other readers). nullopt at end of file when
// nothing was read.
std::optional<std::string> read_fd_line(int fd);

// Overwrites a string's characters before it is released.
void wipe(std::string &s);

}  // namespace mgtsh
