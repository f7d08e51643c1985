// String, number and thread helpers.
#include <cerrno>
#include <climits>
#include <cstring>
#include <pthread.h>
#include <sched.h>
#include <thread>
#include <vector>

#include "support/harness.hpp"
#include "util_linux.h"

namespace {

TEST(Crc32Test, TableAndRegisterFollowTheAugmentedForm) {
  crc32_init();
  uint32_t reg = 0;
  const unsigned char one = 0x01, zeros[4] = {0, 0, 0, 0};
  crc32_stream(&reg, &one, 1);
  EXPECT_EQ(reg, 1u);
  crc32_stream(&reg, zeros, 4);
  EXPECT_EQ(reg, 0x04C11DB7u);  // entry 1 of the table

  uint32_t before = reg;
  crc32_stream(&reg, zeros, 0);
  crc32_stream(&reg, zeros, -3);
  EXPECT_EQ(reg, before);
}

TEST(Crc32Test, MatchesBitwisePolynomialDivision) {
  crc32_init();
  const char *text = "123456789 the quick brown fox";
  std::vector<unsigned char> msg(text, text + std::strlen(text));
  uint32_t reg = 0;
  crc32_stream(&reg, msg.data(), static_cast<int32_t>(msg.size()));
  const unsigned char zeros[4] = {};
  crc32_stream(&reg, zeros, 4);
  // Reference: M(x)*x^32 mod P(x), one bit at a time.
  uint64_t rem = 0;
  msg.insert(msg.end(), 4, 0);
  for (unsigned char byte : msg)
    for (int b = 7; b >= 0; --b) {
      rem = (rem << 1) | ((byte >> b) & 1u);
      if (rem & 0x100000000ULL) rem ^= 0x104C11DB7ULL;
    }
  EXPECT_EQ(reg, static_cast<uint32_t>(rem));
}

TEST(BoundedStringTest, CopyAndAppend) {
  char d[16];
  std::memset(d, 'X', sizeof d);
  xstrncpy(d, "0123456789", 4);
  EXPECT_STREQ(d, "012");
  xstrncpy(d, "0123456789", 1);
  EXPECT_STREQ(d, "");
  std::memset(d, 'X', sizeof d);
  xstrncpy(d, "ab", 8);  // pads with NULs like strncpy
  for (int i = 2; i < 8; ++i) EXPECT_EQ(d[i], '\0');

  char c[8] = "1234567";
  xstrncat(c, "abc", 8);
  EXPECT_STREQ(c, "1234567");
  char e[8] = "12345";
  xstrncat(e, "abc", 8);
  EXPECT_STREQ(e, "12345ab");
}

TEST(AtomicTest, CompareAndSetAndIncrement) {
  uint32_t w = 5;
  EXPECT_EQ(check_and_set(&w, 4, 9), 0);
  EXPECT_EQ(w, 5u);
  EXPECT_EQ(check_and_set(&w, 5, 9), 1);
  EXPECT_EQ(w, 9u);
  uint32_t m = 0xFFFFFFFFu;
  EXPECT_EQ(atomic_inc(&m, 1), 0u);
  EXPECT_EQ(m, 0u);
}

TEST(AtomicTest, ConcurrentIncrementsAreNotLost) {
  uint32_t w = 0;
  std::vector<std::thread> ts;
  for (int t = 0; t < 4; ++t)
    ts.emplace_back([&w] {
      for (int i = 0; i < 20000; ++i) atomic_inc(&w, 1);
    });
  for (auto &t : ts) t.join();
  EXPECT_EQ(w, 80000u);
}

TEST(LookupTest, FindStrInArray) {
  const char *arr[] = {"a", nullptr, "b", "b"};
  EXPECT_EQ(util_FindStrInArray("b", arr, 4), 2);
  EXPECT_EQ(util_FindStrInArray("a", arr, 4), 0);
  EXPECT_EQ(util_FindStrInArray("B", arr, 4), -1);
  EXPECT_EQ(util_FindStrInArray("b", arr, 2), -1);
  EXPECT_EQ(util_FindStrInArray("a", arr, 0), -1);
  EXPECT_EQ(util_FindStrInArray("a", arr, -1), -1);
}

TEST(PriorityTest, NormalThreadIsZeroAndRealTimeRoundTrips) {
  EXPECT_EQ(util_GetCurThreadPriority(), 0);
  std::thread t([] {
    if (util_SetCurThreadPriority(10) != 0) {
      EXPECT_NE(errno, 0);
      return;  // not permitted here (no CAP_SYS_NICE, or emulated)
    }
    EXPECT_EQ(util_GetCurThreadPriority(), 10);
    int policy;
    sched_param sp;
    pthread_getschedparam(pthread_self(), &policy, &sp);
    EXPECT_EQ(policy, SCHED_RR);
    EXPECT_EQ(util_SetCurThreadPriority(0), 0);
    EXPECT_EQ(util_GetCurThreadPriority(), 0);
  });
  t.join();
  EXPECT_EQ(util_SetCurThreadPriority(1000), -1);  // out of range
}

TEST(ReverseTest, Strnrev) {
  char s[] = "abcdef";
  EXPECT_STREQ(strnrev(s, 3), "cbadef");
  char t[] = "abcdef";
  EXPECT_STREQ(strnrev(t, 100), "fedcba");
  char u[] = "abcdef";
  EXPECT_STREQ(strnrev(u, 0), "abcdef");
  char one[] = "a";
  EXPECT_STREQ(strnrev(one, 5), "a");
  EXPECT_EQ(strnrev(nullptr, 5), nullptr);
}

TEST(CompareTest, AsciiFoldingOnly) {
  EXPECT_EQ(stricmp("ABC", "abc"), 0);
  EXPECT_EQ(stricmp("a", "B"), -1);
  EXPECT_LT(stricmp("a[", "A{"), 0);
  EXPECT_GT(stricmp("abc", "ab"), 0);
  EXPECT_EQ(stricmp("abc", "ab"), 'c');
  EXPECT_EQ(stricmp("\xff", ""), 255);
  EXPECT_EQ(strnicmp("abcd", "ABCE", 3), 0);
  EXPECT_LT(strnicmp("abcd", "ABCE", 4), 0);
  EXPECT_EQ(strnicmp("abc", "xyz", 0), 0);
  EXPECT_EQ(strnicmp("ab", "AB", 10), 0);
}

TEST(ParseNumberTest, AcceptedForms) {
  struct Case {
    const char *text;
    int base;
    int64_t want;
  } cases[] = {
      {"42", 0, 42},       {"0x1F", 0, 31},   {"101b", 0, 5},   {"101b", 10, 101},
      {"101B", 0, 101},    {"~0", 0, -1},     {"12abc", 0, 12}, {"0x1b", 0, 0},
      {"0b101", 0, 0},     {"  -7", 0, -7},   {"017", 0, 15},   {"ff", 16, 255},
      {"9223372036854775807", 10, INT64_MAX},
  };
  for (const auto &c : cases) {
    int64_t v = 12345;
    EXPECT_EQ(safe_parse_number(c.text, &v, c.base), 0) << c.text;
    EXPECT_EQ(v, c.want) << c.text;
  }
}

TEST(ParseNumberTest, RejectedFormsLeaveResultUntouched) {
  const char *bad[] = {"~", "b", "", "xyz", "99999999999999999999", "~b"};
  for (const char *t : bad) {
    int64_t v = 777;
    EXPECT_EQ(safe_parse_number(t, &v, 0), -1) << t;
    EXPECT_EQ(v, 777) << t;
  }
  int64_t v = 1;
  EXPECT_EQ(safe_parse_number(nullptr, &v, 0), -1);
  EXPECT_EQ(safe_parse_number("1", nullptr, 0), -1);
  EXPECT_EQ(safe_parse_number("1", &v, 99), -1);  // invalid base sets errno
}

TEST(ParseNumberTest, OnlyFirst254CharactersCount) {
  std::string s(254, '0');
  s += "7";  // the 255th character is cut off
  int64_t v = 5;
  EXPECT_EQ(safe_parse_number(s.c_str(), &v, 10), 0);
  EXPECT_EQ(v, 0);
}

TEST(DigitTest, GlibcClassification) {
  for (int c = -1; c < 256; ++c) EXPECT_EQ(is_digit(c) != 0, c >= '0' && c <= '9') << c;
}

}  // namespace
