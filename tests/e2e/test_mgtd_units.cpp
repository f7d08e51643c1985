// mgtd's own units: the request decoder (also the entry point for fuzzing)
// and the model file parser.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "model.hpp"
#include "peer.hpp"
#include "request.hpp"
#include "support/harness.hpp"

namespace {

std::vector<uint8_t> frame(int32_t count, uint32_t total, const std::string &items) {
  MSG_HDR h{};
  h.hdr_len = MSG_HDR_LEN;
  h.total_len = total;
  h.item_count = count;
  h.magic = MSG_MAGIC;
  h.opcode = 7;
  std::vector<uint8_t> f(total, 0);
  std::memcpy(f.data(), &h, sizeof h);
  std::memcpy(f.data() + 56, items.data(), std::min<size_t>(items.size(), total - 56));
  return f;
}

std::string int_item(int32_t v) {
  std::string s = {char(ITEM_INT), 0, 4};
  s.append(reinterpret_cast<const char *>(&v), 4);
  return s;
}

TEST(MgtdDecode, ItemsComeOutInOrderWithTheirData) {
  std::string items = int_item(7) + std::string("\x04\x00\x32", 3) + std::string("\x02\x00\x03" "ab\0", 6);
  auto f = frame(3, 72, items);
  mgtd::Request r;
  ASSERT_EQ(mgtd::decode_request(f, r), mgtd::DecodeError::None);
  ASSERT_EQ(r.items.size(), 3u);
  EXPECT_EQ(mgtd::item_int(r.items[0]), 7);
  EXPECT_EQ(r.items[1].kind, ITEM_STRPTR);
  EXPECT_EQ(r.items[1].size, 50);
  EXPECT_TRUE(r.items[1].data.empty());
  std::string_view s;
  ASSERT_TRUE(mgtd::item_str(r.items[2], s));
  EXPECT_EQ(s, "ab");
}

TEST(MgtdDecode, RefusesEveryMalformedShape) {
  using E = mgtd::DecodeError;
  mgtd::Request r;
  auto f = frame(0, 56, "");
  f[32] ^= 1;  // magic
  EXPECT_EQ(mgtd::decode_request(f, r), E::BadHeader);
  EXPECT_EQ(mgtd::decode_request(frame(0, 58, ""), r), E::BadLength);
  EXPECT_EQ(mgtd::decode_request(frame(0, 4100, ""), r), E::BadLength);
  EXPECT_EQ(mgtd::decode_request(frame(11, 56, ""), r), E::BadItemCount);
  EXPECT_EQ(mgtd::decode_request(frame(1, 60, std::string("\x09\x00\x00", 3)), r), E::BadKind);
  EXPECT_EQ(mgtd::decode_request(frame(1, 60, std::string("\x02\x00\x09", 3)), r), E::TruncatedItem);
  EXPECT_EQ(mgtd::decode_request(frame(2, 60, std::string("\x03\x00\x04", 3)), r), E::TruncatedItem);
  EXPECT_EQ(mgtd::decode_request(frame(0, 64, ""), r), E::TrailingBytes);
  auto full = frame(0, 64, "");
  EXPECT_EQ(mgtd::decode_request(std::span(full.data(), 60), r), E::ShortFrame);
  // A string item without its NUL is no text.
  auto unterminated = frame(1, 60, std::string("\x02\x00\x01x", 4));  // items point into it
  ASSERT_EQ(mgtd::decode_request(unterminated, r), E::None);
  std::string_view s;
  EXPECT_FALSE(mgtd::item_str(r.items[0], s));
}

TEST(MgtdModel, TheExampleModelLoads) {
  std::string err;
  auto m = mgtd::load_model(std::string(std::getenv("PAM_LIB_SOURCE_DIR")) +
                                "/tools/mgtd/example.model", err);
  ASSERT_TRUE(m) << err;
  EXPECT_EQ(m->entities.size(), 12u);
  EXPECT_EQ(m->host_name, "appliance-01");
  const mgtd::Param *p = m->param("system.network.eth0.speed");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->type, mgtd::ParamType::Enum);
  EXPECT_EQ(mgtd::value_text(*p), "auto");
  ASSERT_TRUE(m->user("admin") && m->user("admin")->cred);
  EXPECT_FALSE(m->user("monitor")->cred);
}

TEST(MgtdModel, ErrorsNameTheirLine) {
  struct Bad {
    const char *text;
    const char *error;
  } bad[] = {
      {"entity a\n  param x integer min=1 max=0\n", "line 2: min is above max"},
      {"entity a\nentity b\n", "line 2: only one top entity: 'b' needs a parent path"},
      {"entity a\nentity a.b.c\n", "line 2: parent of 'a.b.c' is not defined above it"},
      {"entity a\n  param e enum values=x=1 default=y\n", "line 2: default 'y' does not fit the parameter"},
      {"entity a\n  info \"open\n", "line 2: missing closing quote"},
      {"entity a\n  bogus\n", "line 2: unknown keyword 'bogus' in entity a"},
      {"param x integer\n", "line 1: unknown keyword 'param' outside an entity, command or user"},
      {"entity a\ncommand c\n  set a.nope 1\n", "line 3: set names an unknown parameter 'a.nope' (define it above)"},
      {"host \"h\"\n", "line 2: the model has no entity"},
      {"peer host 1 3\n", "line 1: peer takes uid or group, not 'host'"},
      {"peer uid 7 4\n", "line 1: level must be 0 to 3"},
  };
  for (const Bad &b : bad) {
    std::string err;
    EXPECT_FALSE(mgtd::parse_model(b.text, err)) << b.text;
    EXPECT_EQ(err, b.error);
  }
}

TEST(MgtdModel, QuotedTextsAndValuesParse) {
  std::string err;
  auto m = mgtd::parse_model(
      "entity a title=\"A \\\"big\\\" one\" info=\"x\\ty\"  # comment\n"
      "  param s string max=5 default=\"ab c\"\n"
      "  param n integer min=-3 max=0x10\n",
      err);
  ASSERT_TRUE(m) << err;
  EXPECT_EQ(m->entities[0].title, "A \"big\" one");
  EXPECT_EQ(m->entities[0].info, "x\ty");
  EXPECT_EQ(m->param("a.s")->str_value, "ab c");
  EXPECT_EQ(m->param("a.n")->max, 16);
  EXPECT_EQ(m->param("a.n")->int_value, 0);  // 0 lies within the bounds
}

TEST(MgtdModel, PeersGetTheBestOfTheirGrants) {
  std::string err;
  auto m = mgtd::parse_model("peer uid 1000 2\npeer group 50 1\npeer group 60 login\nentity a\n", err);
  ASSERT_TRUE(m) << err;
  using K = mgtd::Peer::Kind;
  struct Row {
    K kind;
    int64_t uid, gid;
    std::vector<int64_t> groups;
    int32_t ceiling;
    bool login, privileged;
  } rows[] = {
      {K::Local, 0, 0, {}, 3, true, true},         // root
      {K::Local, 4242, 9, {}, 3, true, true},      // the daemon's own uid
      {K::Local, 1000, 50, {}, 2, false, false},   // uid grant beats the group's
      {K::Local, 1001, 50, {}, 1, false, false},   // primary group
      {K::Local, 1001, 9, {60}, 3, true, false},   // supplementary group
      {K::Local, 1002, 9, {}, 0, false, false},    // nothing granted: anonymous
      {K::Tcp, 0, 0, {}, 0, false, false},         // TCP starts anonymous
  };
  for (const Row &r : rows) {
    mgtd::Peer p;
    p.kind = r.kind;
    p.uid = r.uid;
    p.gid = r.gid;
    p.groups = r.groups;
    mgtd::grant(p, *m, 4242);
    EXPECT_EQ(p.ceiling, r.ceiling) << r.uid;
    EXPECT_EQ(p.login, r.login) << r.uid;
    EXPECT_EQ(p.privileged, r.privileged) << r.uid;
  }
}

}  // namespace
