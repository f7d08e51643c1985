#include "util_linux/shell_quote.hpp"

namespace pl {

std::string shell_quote(std::string_view s) {
  std::string out;
  out.reserve(s.size() + 2);
  out += '\'';
  for (char c : s) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  out += '\'';
  return out;
}

std::string shell_path(std::string_view path) {
  if (!path.empty() && path.front() == '-') return shell_quote(std::string("./").append(path));
  return shell_quote(path);
}

std::string sed_regex(std::string_view re) {
  std::string out;
  out.reserve(re.size() + 8);
  for (std::size_t i = 0; i < re.size(); ++i) {
    char c = re[i];
    if (c == '\\') {
      // An escape pair keeps its meaning; a backslash that would escape the
      // closing delimiter or a newline is made literal instead.
      if (i + 1 < re.size() && re[i + 1] != '\n') {
        out += c;
        out += re[++i];
      } else {
        out += "\\\\";
      }
    } else if (c == '/') {
      out += "\\/";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

std::string sed_text(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 8);
  for (char c : text) {
    if (c == '\\' || c == '/' || c == '&' || c == '\n') out += '\\';
    out += c;
  }
  return out;
}

std::string sed_replacement(std::string_view text) { return sed_text(text); }

}  // namespace pl
