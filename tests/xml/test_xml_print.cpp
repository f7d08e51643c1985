// XML output: escaping and indentation of every byte, failed writes.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "util_linux.h"

namespace {

using Print = int (*)(FILE *, const char *, const char *, int);

std::string print(Print fn, const char *name, const char *text, int indent, int &rc) {
  char *buf = nullptr;
  size_t size = 0;
  FILE *f = open_memstream(&buf, &size);
  rc = fn(f, name, text, indent);
  std::fclose(f);
  std::string out(buf, size);
  free(buf);
  return out;
}

TEST(XmlPrint, EscapesAndIndents) {
  struct {
    Print fn;
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
  FILE *full = std::fopen("/dev/full", "w");
  ASSERT_NE(full, nullptr);
  setvbuf(full, nullptr, _IONBF, 0);
  EXPECT_EQ(XmlPrintStr(full, "e", "text & more", 1) + XmlPrintLine(full, "e", "x", 0), -2);  // failed writes
  std::fclose(full);
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
