// Record-oriented parsing with the real expat, and printed elements parsed
// back with it.
#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "support/harness.hpp"
#include "util_linux.h"

using namespace testsupport;

namespace {

using Record = std::vector<std::optional<std::string>>;
const std::nullopt_t none = std::nullopt;

int collect(XmlParseCtx *ctx, uintptr_t arg) {
  Record r;
  for (int32_t i = 0; i < ctx->field_count; ++i)
    r.push_back(ctx->field_values[i] ? std::optional<std::string>(ctx->field_values[i]) : none);
  reinterpret_cast<std::vector<Record> *>(arg)->push_back(std::move(r));
  return 0;
}

int parse(const std::string &file, std::vector<const char *> names, std::vector<Record> &got) {
  return expat_XMLParse(file.c_str(), names.empty() ? nullptr : names.data(), static_cast<int>(names.size()), "rec",
                        collect, reinterpret_cast<uintptr_t>(&got));
}

// A record of the texts as XmlPrintLine writes them, fields f0, f1, ...
std::string printed(const std::vector<std::string> &texts) {
  char *buf = nullptr;
  size_t size = 0;
  FILE *f = open_memstream(&buf, &size);
  for (size_t i = 0; i < texts.size(); ++i) XmlPrintLine(f, ("f" + std::to_string(i)).c_str(), texts[i].c_str(), 1);
  std::fclose(f);
  const std::string out = "<list>\n<rec>\n" + std::string(buf, size) + "</rec>\n</list>\n";
  free(buf);
  return out;
}

TEST(XmlParse, RecordsFieldsAndErrors) {
  const std::vector<std::string> texts = {"plain", "a<b>&c\"d'e", "&&<>\"", "Gr\xC3\xBC\xE2\x82\xAC 5 > 4", "", " x "};
  const std::string fits(XML_PARSE_TEXT_BUFFER_SIZE - 1, 'f'), half(2048, 'h');
  std::string many;  // elements enough to fill the text buffer with their terminators
  for (int i = 0; i < 5000; ++i) many += "<z/>";
  struct {
    std::string xml;
    std::vector<const char *> names;
    int result;
    std::vector<Record> records;
    const char *log = nullptr;
  } cases[] = {
      {"<?xml version=\"1.0\"?>\n<l>\n <rec><a>x</a><b>y</b></rec>\n <rec><b>z</b></rec>\n</l>\n", {"a", "b"}, 0,
       {{"x", "y"}, {none, "z"}}},
      {"<l><rec><a/><b>first</b><b>second</b><c>one<i>two</i>three</c>"  // last occurrence wins; text after a
       "<d>&lt;&amp;&#x41;&quot;<![CDATA[<raw>]]></d><e>Gr\xC3\xBC\xC3\x9F" "e</e><x>no field</x></rec></l>",  // nested end tag dropped
       {"a", nullptr, "b", "c", "d", "e"}, 0, {{"", none, "second", "onetwo", "<&A\"<raw>", "Gr\xC3\xBC\xC3\x9F" "e"}}},
      {"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><rec><a>caf\xE9</a></rec>", {"a"}, 0, {{"caf\xC3\xA9"}}},
      {"<l><rec><a>1</a></rec><rec/></l>", {}, 0, {{}, {}}},
      {"<l>\n<rec><a>1</a></rec>\n<rec><a>2</a></rec>\n<rec><a>3</b></rec>\n</l>\n", {"a"}, -1, {{"1"}, {"2"}},
       "line 4 XML parsing error : mismatched tag"},
      {"<l><rec><a>" + fits + "</a></rec></l>", {"a"}, 0, {{fits}}},  // text and terminator fill the buffer
      {"<l>\n<rec><a>ok</a></rec>\n<rec><a>" + fits + "x</a></rec>\n<rec><a>later</a></rec>\n</l>", {"a"}, -1, {{"ok"}},
       "line 3 XML record does not fit the 4096-byte text buffer"},
      {"<l><rec><a>" + half + "</a><b>" + half.substr(1) + "</b></rec></l>", {"a", "b"}, -1, {}},
      {"<l><rec>" + many + "</rec></l>", {"a"}, -1, {}},
      {"<l><rec><a>1</a></rec>" + many + "</l>", {"a"}, 0, {{"1"}}},  // after the last record they need no room
      {printed(texts), {"f0", "f1", "f2", "f3", "f4", "f5"}, 0, {Record(texts.begin(), texts.end())}},
  };
  TempDir dir;
  const std::string file = dir.file("in.xml");
  SyslogCapture log;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.xml.substr(0, 80));
    write_file(file, c.xml);
    log.clear();
    std::vector<Record> got;
    EXPECT_EQ(parse(file, c.names, got), c.result);
    EXPECT_EQ(got, c.records);
    EXPECT_TRUE(!c.log || log.contains(LOG_USER | LOG_ERR, "(util_linux) expat_XMLParse:: file '" + file + "' " + c.log))
        << log.dump();
  }
  std::vector<Record> got;
  EXPECT_EQ(parse(dir.file("missing"), {"a"}, got), -1);
  EXPECT_TRUE(log.contains_substr("can't open file '" + dir.file("missing") + "'for parsing: No such file"));
  EXPECT_TRUE(got.empty());
}

}  // namespace
