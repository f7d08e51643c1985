// The command interpreter: entity tree navigation, parameters, commands,
// traps, the security log and statistics, over the library's remote calls.
#pragma once

#include <string>
#include <vector>

#include "session.hpp"
#include "terminal.hpp"

namespace mgtsh {

struct ShellOptions {
  bool assume_yes = false;  // answer confirmation questions with yes
  bool echo = false;        // print each command before running it
  bool keep_xml = false;    // leave the last XML result on disk at the end
};

// Splits a command line into words: blanks separate, "..." and '...' quote,
// a backslash escapes the next character. False on an unfinished quote.
bool split_words(const std::string &line, std::vector<std::string> &words);

class Shell {
 public:
  Shell(LineInput &input, Session &session, ShellOptions opts);

  // Looks up the top entity and the host name. False when the daemon does
  // not answer.
  bool start();

  // Runs one command line; false when it failed. Sets done() on exit.
  bool execute(const std::string &line);
  bool done() const { return done_; }
  bool expired() const { return expired_; }

  // Reads and runs lines until exit or the end of input. Returns the exit
  // status: 0 when every command succeeded (interactive: always 0 unless
  // the session expired), 1 when one failed (a script stops there).
  int loop();

  std::string prompt() const;

  // Removes the XML result file unless it is to be kept.
  void cleanup();

  // Candidate completions for the word being typed.
  std::vector<std::string> complete(const std::string &before, const std::string &word);

  // Exit status for an expired session.
  static constexpr int kExpired = 5;

 private:
  using Args = std::vector<std::string>;
  bool cmd_ls(const Args &a);
  bool cmd_cd(const Args &a);
  bool cmd_pwd(const Args &a);
  bool cmd_tree(const Args &a);
  bool cmd_get(const Args &a);
  bool cmd_set(const Args &a);
  bool cmd_info(const Args &a);
  bool cmd_commands(const Args &a);
  bool cmd_run(const Args &a);
  bool cmd_xml(const Args &a);
  bool cmd_traps(const Args &a);
  bool cmd_log(const Args &a);
  bool cmd_stats(const Args &a);
  bool cmd_help(const Args &a);
  bool cmd_exit(const Args &a);

  // Entity lookups; handle 0 is "none".
  int find_entity(const std::string &path);
  bool resolve_entity(const std::string &arg, int &handle, std::string &path);
  bool resolve_param(const std::string &arg, std::string &full);
  std::string entity_path(int handle);
  std::vector<int> children(int handle);
  std::vector<std::string> params(int handle, bool dot);
  void print_tree(int handle, int depth, bool all);

  // The text of the daemon's current error word.
  std::string last_error();
  bool fail(const std::string &what);
  bool confirm(const std::string &question);

  LineInput &input_;
  Session &session_;
  ShellOptions opts_;
  int top_ = 0;
  std::string top_path_, cwd_, host_;
  std::string last_xml_;
  bool done_ = false;
  bool expired_ = false;
};

}  // namespace mgtsh
