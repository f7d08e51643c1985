// XML output: escaping and indentation, failed writes.
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

// Bytes to escape at the edges of the 16-byte blocks, and their neighbours.
const std::string kLong = "&" + std::string(14, 'a') + "=?<>@" + std::string(10, '\xBE') + "!#$\"%" + std::string(99, '$') + "'";
const std::string kLongOut = "<e>&amp;" + std::string(14, 'a') + "=?&lt;&gt;@" + std::string(10, '\xBE') + "!#$&quot;%" +
                             std::string(99, '$') + "'</e>";

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
      {XmlPrintStr, "e", kLong.c_str(), 0, kLongOut.c_str()},  // 16 bytes are tested at a time
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

}  // namespace
