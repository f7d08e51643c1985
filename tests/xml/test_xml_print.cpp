// XML output: escaping, indentation, block writes and failed writes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "util_linux.h"

namespace {

// A stdio stream that records every write reaching it, optionally failing.
struct Sink {
  std::string data;
  std::vector<size_t> writes;
  bool fail = false;
};

ssize_t sink_write(void *cookie, const char *buf, size_t n) {
  auto *s = static_cast<Sink *>(cookie);
  if (s->fail) return -1;
  s->data.append(buf, n);
  s->writes.push_back(n);
  return static_cast<ssize_t>(n);
}

FILE *open_sink(Sink &s, bool unbuffered) {
  cookie_io_functions_t io{};
  io.write = sink_write;
  FILE *f = fopencookie(&s, "w", io);
  if (f && unbuffered) setvbuf(f, nullptr, _IONBF, 0);
  return f;
}

std::string print(int (*fn)(FILE *, const char *, const char *, int), const char *name, const char *text,
                  int indent, int *rc) {
  Sink s;
  FILE *f = open_sink(s, false);
  *rc = fn(f, name, text, indent);
  std::fclose(f);
  return s.data;
}

TEST(XmlPrint, EscapesAndIndents) {
  int rc = -5;
  EXPECT_EQ(print(XmlPrintLine, "name", "a<&\">", 2, &rc), "\t\t<name>a&lt;&amp;&quot;&gt;</name>\n");
  EXPECT_EQ(rc, 0);
  // Apostrophes, bytes of 128 and above, and the name are written unchanged.
  EXPECT_EQ(print(XmlPrintStr, "x<y", "it's \xC3\xA9\xFF", -3, &rc), "<x<y>it's \xC3\xA9\xFF</x<y>");
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(print(XmlPrintStr, "e", "", 0, &rc), "<e></e>");
  EXPECT_EQ(print(XmlPrintStr, "e", "&&", 1, &rc), "\t<e>&amp;&amp;</e>");
}

TEST(XmlPrint, EveryByteAtEveryPositionAgainstReference) {
  auto reference = [](const std::string &t) {
    std::string out = "<e>";
    for (char c : t) {
      switch (c) {
        case '&': out += "&amp;"; break;
        case '"': out += "&quot;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        default: out += c;
      }
    }
    return out + "</e>";
  };
  for (int b = 1; b < 256; ++b) {
    for (size_t pos : {0, 1, 15, 16, 17, 31, 40}) {
      std::string t(41, 'a');
      t[pos] = static_cast<char>(b);
      int rc = -5;
      ASSERT_EQ(print(XmlPrintStr, "e", t.c_str(), 0, &rc), reference(t)) << "byte " << b << " at " << pos;
      ASSERT_EQ(rc, 0);
    }
  }
}

TEST(XmlPrint, NullTextWritesNothing) {
  int rc = -5;
  EXPECT_EQ(print(XmlPrintStr, "e", nullptr, 3, &rc), "");
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(print(XmlPrintLine, "e", nullptr, 3, &rc), "");
  EXPECT_EQ(rc, 0);
}

TEST(XmlPrint, PlainBytesGoOutInBlocksOfHundred) {
  Sink s;
  FILE *f = open_sink(s, true);
  std::string text(250, 'p');
  ASSERT_EQ(XmlPrintStr(f, "e", text.c_str(), 0), 0);
  std::fclose(f);
  EXPECT_EQ(s.data, "<e>" + text + "</e>");
  // Between the opening and the closing tag: 100, 100 and 50 bytes.
  const size_t expected[] = {100, 100, 50};
  auto it = std::search(s.writes.begin(), s.writes.end(), std::begin(expected), std::end(expected));
  EXPECT_NE(it, s.writes.end());

  // An entity ends the pending block early.
  Sink t;
  f = open_sink(t, true);
  std::string mixed = std::string(150, 'q') + "&" + std::string(30, 'r');
  ASSERT_EQ(XmlPrintStr(f, "e", mixed.c_str(), 0), 0);
  std::fclose(f);
  EXPECT_EQ(t.data, "<e>" + std::string(150, 'q') + "&amp;" + std::string(30, 'r') + "</e>");
  std::vector<size_t> blocks;
  for (size_t n : t.writes)
    if (n >= 30) blocks.push_back(n);
  EXPECT_EQ(blocks, (std::vector<size_t>{100, 50, 30}));
}

TEST(XmlPrint, FailedWritesAreReported) {
  Sink s;
  s.fail = true;
  FILE *f = open_sink(s, true);
  EXPECT_EQ(XmlPrintStr(f, "e", "text & more", 1), -1);
  EXPECT_EQ(XmlPrintLine(f, "e", "text", 0), -1);
  std::fclose(f);

  FILE *full = std::fopen("/dev/full", "w");
  if (!full) GTEST_SKIP() << "no /dev/full";
  setvbuf(full, nullptr, _IONBF, 0);
  EXPECT_EQ(XmlPrintLine(full, "e", "x", 0), -1);
  std::fclose(full);
}

}  // namespace
