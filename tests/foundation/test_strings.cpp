// String, number and thread helpers, and building request messages.
#include <cstring>
#include <functional>
#include <string>
#include <tuple>
#include <thread>
#include <vector>

#include "pam_lib.h"
#include "pam_lib/context.hpp"
#include "support/harness.hpp"
#include "util_linux.h"

namespace {

std::string n(long long v) { return std::to_string(v); }

std::string parse(const char *text, int base) {
  int64_t v = 777;
  int rc = safe_parse_number(text, &v, base);
  return rc == 0 ? n(v) : (v == 777 ? "fail" : "fail, result written");
}

// Each takes its buffer by value: the row sees what the helper left in it.
std::string cat(std::string start, const char *add, size_t size) {
  start.resize(size);  // NUL-filled room behind the text
  return xstrncat(start.data(), add, size);
}

std::string rev(std::string s, size_t max) { return strnrev(s.data(), max); }

// The register after the message and four zero bytes: M(x)*x^32 mod P(x).
std::string crc(const char *text) {
  crc32_init();
  uint32_t r = 0;
  crc32_stream(&r, text, static_cast<int32_t>(std::strlen(text)));
  crc32_stream(&r, "\0\0\0", 4);
  return n(r);
}

const char *const kArray[] = {"a", nullptr, "b", "b"};

TEST(Foundation, StringHelpers) {
  using Row = std::tuple<const char *, std::function<std::string()>, std::string>;
  const Row rows[] = {
      {"crc", [] { return crc("123456789 the quick brown fox"); }, n(0x35A01FAF)},
      {"xstrncat full", [] { return cat("1234567", "ab", 8); }, "1234567"},
      {"xstrncat fills", [] { return cat("12345", "abc", 8); }, "12345ab"},
      {"strnrev part", [] { return rev("abcdef", 3); }, "cbadef"},
      {"strnrev all", [] { return rev("abcdef", 99); }, "fedcba"},
      {"stricmp folds", [] { return n(stricmp("ABC", "abc")); }, "0"},
      {"stricmp ascii only", [] { return n(stricmp("a[", "A{") < 0); }, "1"},
      {"stricmp longer", [] { return n(stricmp("abc", "ab")); }, "99"},
      {"stricmp unsigned", [] { return n(stricmp("\xff", "")); }, "255"},
      {"strnicmp prefix", [] { return n(strnicmp("abcd", "ABCE", 3)); }, "0"},
      {"strnicmp diff", [] { return n(strnicmp("abcd", "ABCE", 4)); }, "-1"},
      {"strnicmp short", [] { return n(strnicmp("ab", "AB", 10)); }, "0"},
      {"is_ascii_7 ctrl", [] { return n(is_ascii_7("tab\t\n\x7f")); }, "1"},
      {"is_ascii_7 high", [] { return n(is_ascii_7("a\x80")); }, "0"},
      {"UTILS ctrl", [] { return n(UTILS_is_ascii_7("tab\t")); }, "0"},
      {"find later", [] { return n(util_FindStrInArray("b", kArray, 4)); }, "2"},
      {"parse dec", [] { return parse("42", 0); }, "42"},
      {"parse binary", [] { return parse("101b", 0); }, "5"},
      {"parse b in base 10", [] { return parse("101b", 10); }, "101"},
      {"parse inverted", [] { return parse("~5", 0); }, "-6"},
      {"parse hex 1b", [] { return parse("0x1b", 0); }, "0"},
      {"parse 254 chars", [] { return parse((std::string(254, '0') + "7").c_str(), 10); }, "0"},
      {"parse ~", [] { return parse("~", 0); }, "fail"},
      {"parse ~b", [] { return parse("~b", 0); }, "fail"},
      {"parse range", [] { return parse("99999999999999999999", 0); }, "fail"},
      {"parse base", [] { return parse("1", 99); }, "fail"},
  };
  for (const auto &[what, got, want] : rows) EXPECT_EQ(got(), want) << what;
}

TEST(Foundation, AtomicsAndPriority) {
  uint32_t w = 5, m = 0xFFFFFFFFu;
  EXPECT_EQ(check_and_set(&w, 4, 9), 0);
  EXPECT_EQ(check_and_set(&w, 5, 9), 1);
  EXPECT_EQ(atomic_inc(&m, 1), 0u);
  std::vector<std::thread> ts(4);
  for (auto &t : ts)
    t = std::thread([&w] {
      for (int i = 0; i < 20000; ++i) atomic_inc(&w, 1);
    });
  for (auto &t : ts) t.join();
  EXPECT_EQ(w, 80009u);

  EXPECT_EQ(util_SetCurThreadPriority(0), 0);
  EXPECT_EQ(util_GetCurThreadPriority(), 0);
  EXPECT_EQ(util_SetCurThreadPriority(1000), -1);
  std::thread([] {  // real-time priority needs CAP_SYS_NICE
    EXPECT_TRUE(util_SetCurThreadPriority(10) != 0 || util_GetCurThreadPriority() == 10);
  }).join();
}

TEST(Foundation, MessageHeaderFromContextAndItemsInOrder) {
  pl::testing::reset_client_context();
  EXPECT_EQ((std::vector{get_socket(), get_privilege(), get_err(), get_client_protocol()}),
            (std::vector{-1, -1, 0, 1}));
  {
    testsupport::SyslogCapture log;
    testsupport::AllocFailure fail(0);
    EXPECT_EQ(CreateMsg(1), nullptr);
    EXPECT_REPORT(log, "msg == NULL", "pam_lib", "CreateMsg", 117);
  }
  set_privelege(2);
  set_uid(500);
  set_client_id(9);
  MSG *m = CreateMsg(33);
  ASSERT_TRUE(m);
  set_privelege(5);  // later setters do not change the message
  // hdr_len, seq, total_len, item_count, opcode, privilege, uid, priority, magic, client_id
  const MSG_HDR want{56, 0, 0, 0, 33, 2, 500, util_GetCurThreadPriority(), MSG_MAGIC, 9, {}};
  EXPECT_EQ(std::memcmp(&m->hdr, &want, sizeof want), 0);

  char buf[16] = {};
  const auto b = reinterpret_cast<intptr_t>(buf);
  AddIntToMsg(m, -5);
  AddStrToMsg(m, buf + 1);
  AddArrayToMsg(m, 3, buf);
  AddCArrayToMsg(m, 2, buf);
  AddPtrToMsg(m, 4, buf);
  AddStrPtrToMsg(m, 16, buf);
  const MSG_ITEM items[] = {{ITEM_INT, 4, -5},  {ITEM_CARRAY, 1, b + 1}, {ITEM_ARRAY, 3, b},
                            {ITEM_CARRAY, 2, b}, {ITEM_PTR, 4, b},       {ITEM_STRPTR, 16, b}};
  ASSERT_EQ(m->hdr.item_count, 6);
  EXPECT_EQ(std::memcmp(m->items, items, sizeof items), 0);
  for (int i = 0; i < 5; ++i) AddIntToMsg(m, i);  // nothing lands past the tenth item
  EXPECT_EQ(m->hdr.item_count, MSG_MAX_ITEMS);
  EXPECT_EQ(m->items[9].value, 3);
  std::free(m);
  pl::testing::reset_client_context();
}

}  // namespace
