// Quoting for the shell commands and stream-editor scripts the utilities
// compose, so that no argument can change what a command does.
#pragma once

#include <string>
#include <string_view>

namespace pl {

// One shell word that stands for s literally: 'text', with each ' as '\''.
std::string shell_quote(std::string_view s);

// shell_quote for a path given to a program as an operand: a relative path
// that begins with '-' is written as ./-name so it cannot be taken for an
// option.
std::string shell_path(std::string_view path);

// A basic regular expression for a /.../ address or s command of sed: the
// expression keeps its meaning, but '/' and newline become \/ and \n and a
// trailing lone backslash is taken literally, so it ends where it should.
std::string sed_regex(std::string_view re);

// Text of sed's a/i/c commands in the classic "c\<newline>text" form: every
// character, backslash and newline included, stands for itself.
std::string sed_text(std::string_view text);

// Replacement of sed's s command: '&', backslash, '/' and newline are
// literal.
std::string sed_replacement(std::string_view text);

}  // namespace pl
