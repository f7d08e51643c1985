#include "escape.hpp"

#include <cstdio>

namespace mgtsh {

namespace {

void hex(std::string &out, const char *fmt, unsigned v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, fmt, v);
  out += buf;
}

// Length of the UTF-8 sequence that starts with byte b (0: not a start), and
// the smallest code point it may carry (overlong forms are no UTF-8).
int sequence_length(unsigned char b, unsigned &min) {
  if (b >= 0xc2 && b <= 0xdf) return min = 0x80, 2;
  if (b >= 0xe0 && b <= 0xef) return min = 0x800, 3;
  if (b >= 0xf0 && b <= 0xf4) return min = 0x10000, 4;
  return 0;
}

// Escapes text; with `carry`, an unfinished sequence at the end is left in it.
std::string escape(std::string_view s, bool stream, std::string *carry) {
  std::string out;
  out.reserve(s.size());
  std::size_t i = 0;
  while (i < s.size()) {
    const auto b = static_cast<unsigned char>(s[i]);
    if (b < 0x80) {
      if ((b < 0x20 && !(stream && (b == '\n' || b == '\t'))) || b == 0x7f) hex(out, "\\x%02x", b);
      else out += static_cast<char>(b);
      ++i;
      continue;
    }
    unsigned min = 0;
    const int n = sequence_length(b, min);
    unsigned cp = b & (n == 2 ? 0x1fu : n == 3 ? 0x0fu : 0x07u);
    int got = 1;
    while (n && got < n && i + got < s.size() &&
           (static_cast<unsigned char>(s[i + got]) & 0xc0) == 0x80) {
      cp = (cp << 6) | (static_cast<unsigned char>(s[i + got]) & 0x3f);
      ++got;
    }
    if (n && got < n && i + got == s.size() && carry) {
      carry->assign(s.substr(i));  // completed by the next piece
      return out;
    }
    if (!n || got < n || cp < min || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) {
      hex(out, "\\x%02x", b);  // no UTF-8: the byte alone, escaped
      ++i;
      continue;
    }
    if (cp <= 0x9f) hex(out, "\\u%04x", cp);  // a C1 control
    else out.append(s.substr(i, static_cast<std::size_t>(n)));
    i += static_cast<std::size_t>(n);
  }
  return out;
}

}  // namespace

std::string shown(std::string_view text, bool stream) { return escape(text, stream, nullptr); }

std::string shown_piece(std::string_view piece, std::string &carry) {
  std::string joined = std::move(carry);
  carry.clear();
  joined.append(piece);
  return escape(joined, true, piece.empty() ? nullptr : &carry);
}

}  // namespace mgtsh
