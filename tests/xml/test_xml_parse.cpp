// Record-oriented XML parsing with the real expat, and XML output parsed
// back with it.
#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "support/harness.hpp"
#include "util_linux.h"

using testsupport::SyslogCapture;
using testsupport::TempDir;

namespace {

using Record = std::vector<std::optional<std::string>>;

struct Collected {
  std::vector<Record> records;
  int set_error_at = -1;  // record index whose callback sets ctx->error
};

int collect(XmlParseCtx *ctx, uintptr_t arg) {
  auto *c = reinterpret_cast<Collected *>(arg);
  Record r;
  for (int32_t i = 0; i < ctx->field_count; ++i)
    r.push_back(ctx->field_values[i] ? std::optional<std::string>(ctx->field_values[i]) : std::nullopt);
  if (static_cast<int>(c->records.size()) == c->set_error_at) ctx->error = -1;
  c->records.push_back(std::move(r));
  return 0;
}

class XmlParse : public ::testing::Test {
 protected:
  int parse(const std::string &xml, std::vector<const char *> names, const char *record = "rec") {
    path_ = dir_.file("in.xml");
    testsupport::write_file(path_, xml);
    return expat_XMLParse(path_.c_str(), names.data(), static_cast<int>(names.size()), record, collect,
                          reinterpret_cast<uintptr_t>(&got_));
  }
  std::string msg(const std::string &tail) { return "(util_linux) expat_XMLParse:: file '" + path_ + "' " + tail; }

  TempDir dir_;
  std::string path_;
  Collected got_;
  SyslogCapture log_;
};

const std::nullopt_t none = std::nullopt;

TEST_F(XmlParse, OneCallbackPerRecordWithAbsentFieldsNull) {
  ASSERT_EQ(parse("<?xml version=\"1.0\"?>\n<list>\n <rec><a>x</a><b>y</b></rec>\n <rec><b>z</b></rec>\n</list>\n",
                  {"a", "b"}),
            0);
  ASSERT_EQ(got_.records.size(), 2u);
  EXPECT_EQ(got_.records[0], (Record{"x", "y"}));
  EXPECT_EQ(got_.records[1], (Record{none, "z"}));
  EXPECT_TRUE(log_.lines().empty()) << log_.dump();
}

TEST_F(XmlParse, FieldTextRules) {
  ASSERT_EQ(parse("<list><rec>"
                  "<a/><b>first</b><b>second</b>"       // empty field; last occurrence wins
                  "<c>one<i>two</i>three</c>"           // text after a nested end tag is dropped
                  "<d>&lt;&amp;&#x41;&quot;<![CDATA[<raw>]]></d>"  // entities and CDATA joined
                  "<e>Gr\xC3\xBC\xC3\x9F" "e \xE6\x97\xA5\xE6\x9C\xAC</e>"
                  "<x>not a field</x>"
                  "</rec></list>",
                  {"a", nullptr, "b", "c", "d", "e"}),
            0);
  ASSERT_EQ(got_.records.size(), 1u);
  EXPECT_EQ(got_.records[0], (Record{"", none, "second", "onetwo", "<&A\"<raw>", "Gr\xC3\xBC\xC3\x9F" "e \xE6\x97\xA5\xE6\x9C\xAC"}));
}

TEST_F(XmlParse, TextSplitAcrossReadsIsJoined) {
  // The file is read 1000 bytes at a time, so this field reaches the
  // handler in several pieces.
  std::string big;
  for (int i = 0; i < 300; ++i) big += "ab\xC3\xA9&amp;";
  std::string want;
  for (int i = 0; i < 300; ++i) want += "ab\xC3\xA9&";
  ASSERT_EQ(parse("<list><rec><a>" + big + "</a><b>tail</b></rec></list>", {"a", "b"}), 0);
  ASSERT_EQ(got_.records.size(), 1u);
  EXPECT_EQ(got_.records[0], (Record{want, "tail"}));
}

TEST_F(XmlParse, LatinOneDocumentArrivesAsUtf8) {
  ASSERT_EQ(parse("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><rec><a>caf\xE9</a></rec>", {"a"}), 0);
  ASSERT_EQ(got_.records.size(), 1u);
  EXPECT_EQ(got_.records[0], (Record{"caf\xC3\xA9"}));
}

TEST_F(XmlParse, NotWellFormedStopsWithTheErrorLine) {
  EXPECT_EQ(parse("<list>\n<rec><a>1</a></rec>\n<rec><a>2</a></rec>\n<rec><a>3</b></rec>\n<rec><a>4</a></rec>\n</list>\n",
                  {"a"}),
            -1);
  ASSERT_EQ(got_.records.size(), 2u);  // those before the error
  EXPECT_EQ(got_.records[1], (Record{"2"}));
  EXPECT_TRUE(log_.contains(LOG_USER | LOG_ERR, msg("line 4 XML parsing error : mismatched tag"))) << log_.dump();
}

TEST_F(XmlParse, MissingFileNeverCallsBack) {
  std::string missing = dir_.file("missing.xml");
  std::vector<const char *> names{"a"};
  EXPECT_EQ(expat_XMLParse(missing.c_str(), names.data(), 1, "rec", collect, reinterpret_cast<uintptr_t>(&got_)), -1);
  EXPECT_TRUE(got_.records.empty());
  EXPECT_TRUE(log_.contains(LOG_USER | LOG_ERR, "(util_linux) expat_XMLParse:: can't open file '" + missing +
                                                    "'for parsing: No such file or directory"))
      << log_.dump();
}

TEST_F(XmlParse, CallbackErrorAndArgument) {
  got_.set_error_at = 0;
  EXPECT_EQ(parse("<l><rec><a>1</a></rec><rec><a>2</a></rec></l>", {"a"}), -1);
  EXPECT_EQ(got_.records.size(), 2u);  // the parse goes on
}

TEST_F(XmlParse, RecordsMustFitTheTextBuffer) {
  // 4095 text bytes and the terminator fill the buffer exactly.
  std::string fits(XML_PARSE_TEXT_BUFFER_SIZE - 1, 'f');
  ASSERT_EQ(parse("<l><rec><a>" + fits + "</a></rec></l>", {"a"}), 0);
  ASSERT_EQ(got_.records.size(), 1u);
  EXPECT_EQ(got_.records[0][0], fits);

  // One byte more stops the parse; earlier records were delivered.
  got_.records.clear();
  EXPECT_EQ(parse("<l>\n<rec><a>ok</a></rec>\n<rec><a>" + fits + "x</a></rec>\n<rec><a>later</a></rec>\n</l>", {"a"}), -1);
  ASSERT_EQ(got_.records.size(), 1u);
  EXPECT_EQ(got_.records[0], (Record{"ok"}));
  EXPECT_TRUE(log_.contains(LOG_USER | LOG_ERR, msg("line 3 XML record does not fit the 4096-byte text buffer")))
      << log_.dump();

  // Two fields of 2048 bytes each: the second terminator has no room.
  got_.records.clear();
  std::string half(2048, 'h');
  EXPECT_EQ(parse("<l><rec><a>" + half + "</a><b>" + half.substr(1) + "</b></rec></l>", {"a", "b"}), -1);
  EXPECT_TRUE(got_.records.empty());
  // Terminators of other elements count too.
  std::string many;
  for (int i = 0; i < 5000; ++i) many += "<z/>";
  EXPECT_EQ(parse("<l><rec>" + many + "</rec></l>", {"a"}), -1);
}

TEST_F(XmlParse, ElementsAfterTheLastRecordNeedNoRoom) {
  std::string trailer;
  for (int i = 0; i < 6000; ++i) trailer += "<meta>m</meta>";
  ASSERT_EQ(parse("<l><rec><a>1</a></rec><rec><a>2</a></rec>" + trailer + "</l>", {"a"}), 0) << log_.dump();
  EXPECT_EQ(got_.records.size(), 2u);
}

TEST_F(XmlParse, AllocationFailures) {
  testsupport::write_file(dir_.file("ok.xml"), "<rec><a>x</a></rec>");
  std::string ok = dir_.file("ok.xml");
  std::vector<const char *> names{"a"};
  {
    testsupport::AllocFailure fail(0);  // the context
    EXPECT_EQ(expat_XMLParse(ok.c_str(), names.data(), 1, "rec", collect, reinterpret_cast<uintptr_t>(&got_)), -1);
  }
  EXPECT_TRUE(log_.contains_substr("(util_linux) expat_XMLParse:: can't allocate buffer for XML file '" + ok +
                                   "' parsing: "))
      << log_.dump();
  {
    testsupport::AllocFailure fail(1);  // the read buffer
    EXPECT_EQ(expat_XMLParse(ok.c_str(), names.data(), 1, "rec", collect, reinterpret_cast<uintptr_t>(&got_)), -1);
  }
  EXPECT_TRUE(got_.records.empty());
  EXPECT_EQ(expat_XMLParse(ok.c_str(), names.data(), 1, "rec", collect, reinterpret_cast<uintptr_t>(&got_)), 0);
  EXPECT_EQ(got_.records.size(), 1u);
}

TEST_F(XmlParse, PrintedTextParsesBackUnchanged) {
  const char *texts[] = {"plain", "a<b>&c\"d'e", "&&&<<>>\"\"", "Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC 5 > 4",
                         "", "  spaced  "};
  std::string file = dir_.file("out.xml");
  FILE *f = std::fopen(file.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fputs("<list>\n<rec>\n", f);
  std::vector<std::string> names;
  for (size_t i = 0; i < std::size(texts); ++i) names.push_back("f" + std::to_string(i));
  for (size_t i = 0; i < std::size(texts); ++i) ASSERT_EQ(XmlPrintLine(f, names[i].c_str(), texts[i], 1), 0);
  std::fputs("</rec>\n</list>\n", f);
  std::fclose(f);

  std::vector<const char *> cnames;
  for (auto &n : names) cnames.push_back(n.c_str());
  ASSERT_EQ(expat_XMLParse(file.c_str(), cnames.data(), static_cast<int>(cnames.size()), "rec", collect,
                           reinterpret_cast<uintptr_t>(&got_)),
            0)
      << log_.dump();
  ASSERT_EQ(got_.records.size(), 1u);
  for (size_t i = 0; i < std::size(texts); ++i) EXPECT_EQ(got_.records[0][i], std::string(texts[i]));
}

}  // namespace
