// XML output: escaping and indentation of every byte, failed writes.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "util_linux.h"

namespace {

// What fn writes, through a stream that fails every write when `fail`.
std::string print(int (*fn)(FILE *, const char *, const char *, int), const char *name, const char *text,
                  int indent, int &rc, bool fail = false) {
  std::string out;
  cookie_io_functions_t io{};
  io.write = [](void *c, const char *buf, size_t n) -> ssize_t {
    auto *o = static_cast<std::string *>(c);
    if (o->size() == 1 && (*o)[0] == 'F') return -1;
    o->append(buf, n);
    return static_cast<ssize_t>(n);
  };
  if (fail) out = "F";
  FILE *f = fopencookie(&out, "w", io);
  setvbuf(f, nullptr, _IONBF, 0);
  rc = fn(f, name, text, indent);
  std::fclose(f);
  return out;
}

TEST(XmlPrint, EscapesAndIndents) {
  struct {
    int (*fn)(FILE *, const char *, const char *, int);
    const char *name, *text;
    int indent;
    const char *out;
  } cases[] = {
      {XmlPrintLine, "name", "a<&\">", 2, "\t\t<name>a&lt;&amp;&quot;&gt;</name>\n"},
      {XmlPrintStr, "x<y", "it's \xC3\xA9\xFF", -3, "<x<y>it's \xC3\xA9\xFF</x<y>"},  // only the text is escaped
      {XmlPrintStr, "e", "", 0, "<e></e>"},
      {XmlPrintStr, "e", nullptr, 3, ""},
      {XmlPrintLine, "e", nullptr, 3, ""},
  };
  for (const auto &c : cases) {
    int rc = -5;
    EXPECT_EQ(print(c.fn, c.name, c.text, c.indent, rc), c.out);
    EXPECT_EQ(rc, 0);
  }
  int rc = 0, rc_line = 0;
  print(XmlPrintStr, "e", "text & more", 1, rc, true);
  print(XmlPrintLine, "e", "text", 0, rc_line, true);
  EXPECT_EQ(rc + rc_line, -2);  // failed writes
}

TEST(XmlPrint, EveryByteAtEveryPositionAgainstReference) {
  for (int b = 1; b < 256; ++b) {
    for (size_t pos : {0, 1, 15, 16, 17, 31, 40, 140}) {
      std::string t(141, 'a'), want = "<e>";
      t[pos] = static_cast<char>(b);
      for (char c : t)
        want += c == '&' ? "&amp;" : c == '"' ? "&quot;" : c == '<' ? "&lt;" : c == '>' ? "&gt;" : std::string(1, c);
      int rc = -5;
      ASSERT_EQ(print(XmlPrintStr, "e", t.c_str(), 0, rc), want + "</e>") << "byte " << b << " at " << pos;
      ASSERT_EQ(rc, 0);
    }
  }
}

}  // namespace
