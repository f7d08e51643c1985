// Every remote call against the recording peer: the request it sends
// (opcode, header, item kinds, sizes and data) and what it does with the
// reply (out-items filled in order, failures leave them untouched).
#include <gtest/gtest.h>
#include <syslog.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "pam_lib.h"
#include "pam_lib/context.hpp"
#include "support/harness.hpp"
#include "support/peer.hpp"

namespace {

using testsupport::bytes_of;

struct Exp {
  int kind;
  int size;
  std::string data;  // sent bytes (kinds 0, 1, 2)
};
Exp I(int32_t v) { return {ITEM_INT, 4, bytes_of(v)}; }
Exp S(const std::string &s) { return {ITEM_CARRAY, int(s.size()) + 1, s + '\0'}; }
Exp B(const std::string &s) { return {ITEM_CARRAY, int(s.size()), s}; }
Exp A(int32_t v) { return {ITEM_ARRAY, 4, bytes_of(v)}; }
Exp O(int n) { return {ITEM_PTR, n, {}}; }
Exp T(int n) { return {ITEM_STRPTR, n, {}}; }
bool is_out(const Exp &e) { return e.kind == ITEM_ARRAY || e.kind == ITEM_PTR || e.kind == ITEM_STRPTR; }

// Caller buffers: out-item k of a call is out[k].
struct Bufs {
  alignas(8) unsigned char out[5][1024];
  Bufs() { std::memset(out, 0xEE, sizeof out); }
  int *i(int k) { return reinterpret_cast<int *>(out[k]); }
  char *c(int k) { return reinterpret_cast<char *>(out[k]); }
};

constexpr int kCtx = -100;  // header privilege comes from the context

struct Case {
  const char *name;
  uint32_t opcode;
  int32_t privilege;
  std::function<int(Bufs &)> invoke;
  std::vector<Exp> items;
};

const std::vector<Case> &cases() {
  static const std::vector<Case> all = {
      // parameter values
      {"DM_SetParam", 13, kCtx, [](Bufs &) { return DM_SetParam("p.a", 0, "abc", 9); },
       {S("p.a"), I(0), S("abc"), I(9)}},
      {"DM_GetParam", 14, kCtx, [](Bufs &b) { return DM_GetParam("p.b", 8, b.out[0], 3); },
       {S("p.b"), I(8), O(8), I(3)}},
      {"DM_IntSet", 47, kCtx, [](Bufs &) { return DM_IntSet("p.c", -5, 1); },
       {S("p.c"), I(-5), I(1)}},
      {"DM_IntGet", 48, kCtx, [](Bufs &b) { return DM_IntGet("p.d", b.i(0), 2); },
       {S("p.d"), O(4), I(2)}},
      {"DM_BufferSet", 50, kCtx,
       [](Bufs &b) { std::memcpy(b.out[0], "\1\2\3\4", 4); return DM_BufferSet("p.e", 4, b.out[0], 7); },
       {S("p.e"), I(4), {ITEM_ARRAY, 4, "\1\2\3\4"}, I(7)}},
      {"DM_BufferGet", 53, kCtx, [](Bufs &b) { return DM_BufferGet("p.f", 6, b.out[0], 0); },
       {S("p.f"), I(6), O(6), I(0)}},
      // users, privileges, security log, traps, texts
      {"DM_AuthUser", 34, 4, [](Bufs &b) { return DM_AuthUser("bob", "pw", b.i(0), b.i(1)); },
       {S("bob"), S("pw"), O(4), O(4)}},
      {"DM_LoginUser", 40, 5, [](Bufs &) { return DM_LoginUser("bob"); }, {S("bob")}},
      {"DM_GetPrivilegeLevel", 27, 4, [](Bufs &b) { return DM_GetPrivilegeLevel(300, b.i(0)); },
       {I(300), O(4)}},
      {"DM_SetPrivilege", 49, kCtx, [](Bufs &) { return DM_SetPrivilege(2); }, {I(2)}},
      {"DM_SetUserCred", 60, kCtx, [](Bufs &) { return DM_SetUserCred("bob", 3, "xyz"); },
       {S("bob"), I(3), B("xyz")}},
      {"DM_GetUserCred", 61, kCtx, [](Bufs &b) { return DM_GetUserCred("bob", 12, b.out[0]); },
       {S("bob"), I(12), O(12)}},
      {"DM_SecurityLogLine", 57, kCtx, [](Bufs &) { return DM_SecurityLogLine("hello"); },
       {S("hello")}},
      {"DM_SecurityLogEntry", 59, kCtx, [](Bufs &) { return DM_SecurityLogEntry("bob", "did"); },
       {S("bob"), S("did")}},
      {"DM_SetClientIp", 58, kCtx, [](Bufs &) { return DM_SetClientIp("10.1.2.3"); },
       {S("10.1.2.3")}},
      {"SM_GetTrap", 43, kCtx, [](Bufs &b) { return SM_GetTrap(b.out[0], b.out[1], 10); },
       {O(896), O(10), I(10)}},
      {"SM_GetTrapAndData", 56, kCtx,
       [](Bufs &b) { return SM_GetTrapAndData(b.out[0], b.out[1], 5, b.out[2], 7); },
       {O(896), O(5), I(5), O(7), I(7)}},
      {"DM_GetStrErr", 44, kCtx, [](Bufs &b) { return DM_GetStrErr(4, 40, b.c(0)); },
       {I(4), I(40), T(40)}},
      {"DM_GetHostName", 45, kCtx, [](Bufs &b) { return DM_GetHostName(b.c(0), 21); },
       {T(21), I(21)}},
      {"DM_GetEnv", 39, kCtx, [](Bufs &b) { return DM_GetEnv("VERSION", b.c(0)); },
       {S("VERSION"), T(255)}},
      // entity tree
      {"DM_EntityFind", 4, kCtx, [](Bufs &b) { return DM_EntityFind("a.b", b.i(0)); },
       {S("a.b"), O(4)}},
      {"DM_GetEntityName", 7, kCtx, [](Bufs &b) { return DM_GetEntityName(7, b.c(0)); },
       {I(7), T(50)}},
      {"DM_GetEntityPath", 8, kCtx, [](Bufs &b) { return DM_GetEntityPath(8, b.c(0)); },
       {I(8), T(255)}},
      {"DM_GetEntityInfo", 9, kCtx, [](Bufs &b) { return DM_GetEntityInfo(9, b.c(0)); },
       {I(9), T(255)}},
      {"DM_GetEntityParent", 10, kCtx, [](Bufs &b) { return DM_GetEntityParent(10, b.i(0)); },
       {I(10), O(4)}},
      {"DM_GetEntityFirstChild", 11, kCtx,
       [](Bufs &b) { return DM_GetEntityFirstChild(11, b.i(0), b.i(1)); }, {I(11), O(4), O(4)}},
      {"DM_GetEntityNextChild", 12, kCtx, [](Bufs &b) { return DM_GetEntityNextChild(12, b.i(0)); },
       {I(12), O(4)}},
      {"DM_GetEntityFullName", 20, kCtx, [](Bufs &b) { return DM_GetEntityFullName(20, b.c(0)); },
       {I(20), T(100)}},
      {"DM_EntityHidden", 36, kCtx, [](Bufs &) { return DM_EntityHidden(36); }, {I(36)}},
      // parameter walks and metadata
      {"DM_GetFirstParam", 18, kCtx,
       [](Bufs &b) { return DM_GetFirstParam(18, b.c(0), b.i(1), b.i(2)); },
       {I(18), T(50), O(4), O(4)}},
      {"DM_GetNextParam", 19, kCtx, [](Bufs &b) { return DM_GetNextParam(19, b.c(0), b.i(1)); },
       {I(19), T(50), O(4)}},
      {"DM_GetFirstDotParam", 30, kCtx,
       [](Bufs &b) { return DM_GetFirstDotParam(30, "ipv4", b.c(0), b.i(1)); },
       {I(30), S("ipv4"), T(50), O(4)}},
      {"DM_GetNextDotParam", 31, kCtx, [](Bufs &b) { return DM_GetNextDotParam(31, b.c(0)); },
       {I(31), T(50)}},
      {"DM_GetParamInfo", 15, kCtx, [](Bufs &b) { return DM_GetParamInfo("p.g", b.c(0)); },
       {S("p.g"), T(255)}},
      {"DM_IsParamEnum", 21, kCtx, [](Bufs &b) { return DM_IsParamEnum("p.h", b.i(0)); },
       {S("p.h"), O(4)}},
      {"DM_ConvertIntValToStr", 22, kCtx,
       [](Bufs &b) { return DM_ConvertIntValToStr("p.i", 3, 30, b.c(0)); },
       {S("p.i"), I(3), I(30), T(30)}},
      {"DM_GetParamType", 23, kCtx, [](Bufs &b) { return DM_GetParamType("p.j", b.i(0)); },
       {S("p.j"), O(4)}},
      {"DM_GetParamMinMax", 24, kCtx,
       [](Bufs &b) { return DM_GetParamMinMax("p.k", b.i(0), b.i(1), b.i(2)); },
       {S("p.k"), O(4), O(4), O(4)}},
      {"DM_GetNextVal", 35, kCtx,
       [](Bufs &b) { *b.i(0) = 0; return DM_GetNextVal("p.l", 20, b.i(0), b.c(1)); },
       {S("p.l"), I(20), A(0), T(20)}},
      {"DM_GetParamConfirmationText", 41, kCtx,
       [](Bufs &b) { return DM_GetParamConfirmationText("p.m", "v", b.c(0), 60); },
       {S("p.m"), S("v"), T(60), I(60)}},
      {"DM_CanGet", 37, kCtx, [](Bufs &) { return DM_CanGet(2, "p.n"); }, {I(2), S("p.n")}},
      {"DM_CanSet", 38, kCtx, [](Bufs &) { return DM_CanSet(2, "p.n"); }, {I(2), S("p.n")}},
      // commands
      {"CMD_ExecCommand", 26, kCtx, [](Bufs &) { return CMD_ExecCommand(1, "ping", nullptr); },
       {I(1), S("ping"), {ITEM_CARRAY, 0, {}}}},
      {"CMD_GetFirstCommand", 28, kCtx,
       [](Bufs &b) { return CMD_GetFirstCommand(1, b.c(0), b.c(1), b.i(2)); },
       {I(1), T(50), T(255), O(4)}},
      {"CMD_GetNextCommand", 29, kCtx,
       [](Bufs &b) { return CMD_GetNextCommand(1, b.c(0), b.c(1)); }, {I(1), T(50), T(255)}},
      {"CMD_GetCmdOption", 32, kCtx,
       [](Bufs &b) { *b.i(0) = 2; return CMD_GetCmdOption(1, "ping", b.i(0), "c", b.c(1)); },
       {I(1), S("ping"), A(2), S("c"), T(255)}},
      {"CMD_IsCommand", 33, kCtx, [](Bufs &) { return CMD_IsCommand(1, "ping"); },
       {I(1), S("ping")}},
      {"CMD_GetCommandConfirmationText", 42, kCtx,
       [](Bufs &b) { return CMD_GetCommandConfirmationText(1, "reboot", "now", b.c(0), 80); },
       {I(1), S("reboot"), S("now"), T(80), I(80)}},
  };
  return all;
}

// Reply data filling every out-item: distinct bytes per item, and for text
// items a short text that fits.
std::string reply_for(const std::vector<Exp> &items, std::vector<std::string> &pieces) {
  std::string data;
  int k = 0;
  for (const Exp &e : items) {
    if (!is_out(e)) continue;
    std::string piece;
    if (e.kind == ITEM_STRPTR) piece = std::string("t") + char('0' + k) + '\0';
    else for (int j = 0; j < e.size; ++j) piece += char(0x10 * (k + 1) + j % 16);
    pieces.push_back(piece);
    data += piece;
    ++k;
  }
  return data;
}

class RemoteCalls : public ::testing::TestWithParam<size_t> {
 protected:
  void SetUp() override {
    pl::testing::reset_client_context();
    set_privelege(9);
    set_uid(1234);
    set_client_id(55);
  }
  void TearDown() override { pl::testing::reset_client_context(); }
  const Case &c() const { return cases()[GetParam()]; }
};

TEST_P(RemoteCalls, SendsItsItemsAndFillsItsOutItems) {
  std::vector<std::string> pieces;
  std::string data = reply_for(c().items, pieces);
  testsupport::Peer peer(testsupport::Peer::serve([&](const testsupport::Request &) {
    return testsupport::Result{.result = 5, .data = data, .status = 0, .err = 3};
  }));
  set_socket(peer.client_fd());
  Bufs b;
  ASSERT_EQ(c().invoke(b), 5);
  EXPECT_EQ(get_err(), 3);
  peer.close_client();
  peer.join();

  auto reqs = peer.requests();
  ASSERT_EQ(reqs.size(), 1u);
  const auto &r = reqs[0];
  ASSERT_TRUE(r.well_formed);
  EXPECT_EQ(r.hdr.opcode, c().opcode);
  EXPECT_EQ(r.hdr.privilege, c().privilege == kCtx ? 9 : c().privilege);
  EXPECT_EQ(r.hdr.uid, 1234);
  EXPECT_EQ(r.hdr.client_id, 55);
  EXPECT_EQ(r.hdr.magic, MSG_MAGIC);
  ASSERT_EQ(r.items.size(), c().items.size());
  for (size_t i = 0; i < r.items.size(); ++i) {
    SCOPED_TRACE("item " + std::to_string(i));
    EXPECT_EQ(r.items[i].kind, c().items[i].kind);
    EXPECT_EQ(r.items[i].size, c().items[i].size);
    EXPECT_EQ(r.items[i].data, c().items[i].data);
  }
  for (size_t k = 0; k < pieces.size(); ++k)
    EXPECT_EQ(std::string(reinterpret_cast<char *>(b.out[k]), pieces[k].size()), pieces[k])
        << "out-item " << k;
}

TEST_P(RemoteCalls, FailureLeavesOutItemsAndReportsTheErrorWord) {
  std::vector<std::string> pieces;
  std::string data = reply_for(c().items, pieces);
  testsupport::SyslogCapture cap;
  {
    testsupport::Peer peer(testsupport::Peer::serve([&](const testsupport::Request &) {
      return testsupport::Result{.result = -1, .data = data, .status = 0, .err = 41};
    }));
    set_socket(peer.client_fd());
    Bufs b, before;
    ASSERT_EQ(c().invoke(b), -1);
    EXPECT_EQ(get_err(), 41);
    // The in-out position is the only buffer the call itself set beforehand.
    c().invoke(before);  // same preparation, against the same peer
    EXPECT_EQ(std::memcmp(b.out, before.out, sizeof b.out), 0);
  }
  EXPECT_TRUE(cap.lines().empty()) << cap.dump();
}

TEST_P(RemoteCalls, ShortReplyDataFails) {
  std::vector<std::string> pieces;
  std::string data = reply_for(c().items, pieces);
  if (data.empty()) return;  // no out-item to shorten
  data.pop_back();
  testsupport::Peer peer(testsupport::Peer::serve([&](const testsupport::Request &) {
    return testsupport::Result{.result = 0, .data = data};
  }));
  set_socket(peer.client_fd());
  Bufs b;
  EXPECT_EQ(c().invoke(b), -1);
}

TEST_P(RemoteCalls, WithoutASocketNothingIsSent) {
  set_socket(-1);
  Bufs b, untouched;
  EXPECT_EQ(c().invoke(b), -1);
  c().invoke(untouched);
  EXPECT_EQ(std::memcmp(b.out, untouched.out, sizeof b.out), 0);
}

TEST_P(RemoteCalls, TextLongerThanItsBufferFails) {
  // The first text item receives exactly its capacity in characters.
  std::vector<std::string> pieces;
  reply_for(c().items, pieces);
  std::string data;
  bool found = false;
  size_t k = 0;
  for (const Exp &e : c().items) {
    if (!is_out(e)) continue;
    if (e.kind == ITEM_STRPTR && !found) {
      data += std::string(e.size, 'x') + '\0';
      found = true;
    } else {
      data += pieces[k];
    }
    ++k;
  }
  if (!found) return;  // no text out-item
  testsupport::SyslogCapture cap;
  testsupport::Peer peer(testsupport::Peer::serve([&](const testsupport::Request &) {
    return testsupport::Result{.result = 0, .data = data};
  }));
  set_socket(peer.client_fd());
  Bufs b;
  EXPECT_EQ(c().invoke(b), -1);
  EXPECT_TRUE(cap.contains_substr("info->size < tmp")) << cap.dump();
}

TEST_P(RemoteCalls, OutOfMemoryReportsTwiceAndSendsNothing) {
  testsupport::Peer peer(testsupport::Peer::serve([&](const testsupport::Request &) {
    return testsupport::Result{};
  }));
  set_socket(peer.client_fd());
  testsupport::SyslogCapture cap;
  Bufs b;
  {
    testsupport::AllocFailure fail(0);
    EXPECT_EQ(c().invoke(b), -1);
  }
  EXPECT_REPORT(cap, "msg == NULL", "pam_lib", "CreateMsg", 117);
  bool own = false;
  for (const auto &l : cap.lines())
    own = own || (l.text.find("\"msg == NULL\"") != std::string::npos &&
                  l.text.find(std::string(" at ") + c().name + " line ") != std::string::npos);
  EXPECT_TRUE(own) << cap.dump();
  peer.close_client();
  peer.join();
  EXPECT_TRUE(peer.requests().empty());
}

INSTANTIATE_TEST_SUITE_P(All, RemoteCalls, ::testing::Range<size_t>(0, 48),
                         [](const auto &info) { return std::string(cases()[info.param].name); });

TEST(RemoteCallTable, CoversEveryOpcodeOnce) {
  ASSERT_EQ(cases().size(), 48u);
  std::vector<uint32_t> ops;
  for (const Case &c : cases()) ops.push_back(c.opcode);
  std::sort(ops.begin(), ops.end());
  EXPECT_EQ(std::adjacent_find(ops.begin(), ops.end()), ops.end());
}

// ------------------------------------------------------------- specifics --

class RemoteCallShapes : public ::testing::Test {
 protected:
  void SetUp() override { pl::testing::reset_client_context(); }
  void TearDown() override { pl::testing::reset_client_context(); }

  // Runs `fn` against a peer answering result 0 with `data`; the request.
  testsupport::Request one(const std::function<int()> &fn, std::string data = {}, int *res = nullptr) {
    testsupport::Peer peer(testsupport::Peer::serve([&](const testsupport::Request &) {
      return testsupport::Result{.result = 0, .data = data};
    }));
    set_socket(peer.client_fd());
    int r = fn();
    if (res) *res = r;
    peer.close_client();
    peer.join();
    auto reqs = peer.requests();
    EXPECT_EQ(reqs.size(), 1u);
    return reqs.empty() ? testsupport::Request{} : reqs[0];
  }
};

TEST_F(RemoteCallShapes, SetParamSendsStringsWithTheirNulAndBytesAsGiven) {
  auto r = one([] { return DM_SetParam("n", 3, "abc", 0); });
  EXPECT_EQ(r.items[1].as_int(), 3);
  EXPECT_EQ(r.items[2].data, "abc");
  r = one([] { return DM_SetParam("n", 0, "", 0); });
  EXPECT_EQ(r.items[1].as_int(), 0);
  EXPECT_EQ(r.items[2].data, std::string(1, '\0'));
  r = one([] { return DM_GetParam(nullptr, 0, nullptr, 0); });
  EXPECT_EQ(r.items[0].kind, ITEM_CARRAY);
  EXPECT_EQ(r.items[0].size, 0);
}

TEST_F(RemoteCallShapes, NextCallsSendTheSameRequestWhateverTheBuffersHold) {
  char a[50] = "first", b[50] = "second", t[255] = "x";
  int v = 0;
  auto r1 = one([&] { return DM_GetNextParam(3, a, &v); }, std::string("p\0", 2) + bytes_of(1));
  auto r2 = one([&] { return DM_GetNextParam(3, b, &v); }, std::string("p\0", 2) + bytes_of(1));
  EXPECT_EQ(r1.raw.substr(56), r2.raw.substr(56));
  auto c1 = one([&] { return CMD_GetNextCommand(0, a, t); }, std::string("a\0b\0", 4));
  std::strcpy(a, "zzz");
  auto c2 = one([&] { return CMD_GetNextCommand(0, a, t); }, std::string("a\0b\0", 4));
  EXPECT_EQ(c1.raw.substr(56), c2.raw.substr(56));
}

TEST_F(RemoteCallShapes, CanGetAndCanSetDifferOnlyInTheOpcode) {
  auto g = one([] { return DM_CanGet(1, "x.y"); });
  auto s = one([] { return DM_CanSet(1, "x.y"); });
  EXPECT_EQ(g.hdr.opcode, 37u);
  EXPECT_EQ(s.hdr.opcode, 38u);
  EXPECT_EQ(g.raw.substr(56), s.raw.substr(56));
}

TEST_F(RemoteCallShapes, PositionIsReplacedBeforeTheText) {
  int pos = 0;
  char text[20];
  int res = -2;
  one([&] { return DM_GetNextVal("e", 20, &pos, text); }, bytes_of(int32_t{1}) + std::string("up\0", 3), &res);
  EXPECT_EQ(res, 0);
  EXPECT_EQ(pos, 1);
  EXPECT_STREQ(text, "up");
}

TEST_F(RemoteCallShapes, CapacityOneTakesOnlyTheEmptyText) {
  char t[1] = {'q'};
  int res = -2;
  one([&] { return DM_GetParamConfirmationText("p", "v", t, 1); }, std::string(1, '\0'), &res);
  EXPECT_EQ(res, 0);
  EXPECT_EQ(t[0], '\0');
  one([&] { return CMD_GetCommandConfirmationText(0, "c", "", t, 1); }, std::string("a\0", 2), &res);
  EXPECT_EQ(res, -1);
}

TEST_F(RemoteCallShapes, HostNameFitsOnlyWithRoomForItsNul) {
  std::string host(20, 'h');
  char buf[32];
  int res = -2;
  one([&] { return DM_GetHostName(buf, 21); }, host + '\0', &res);
  EXPECT_EQ(res, 0);
  EXPECT_EQ(std::string(buf), host);
  one([&] { return DM_GetHostName(buf, 20); }, host + '\0', &res);
  EXPECT_EQ(res, -1);
}

TEST_F(RemoteCallShapes, EntityNameOfFortyNineCharactersFitsFiftyDoesNot) {
  char name[50];
  int res = -2;
  one([&] { return DM_GetEntityName(1, name); }, std::string(49, 'n') + '\0', &res);
  EXPECT_EQ(res, 0);
  EXPECT_EQ(std::strlen(name), 49u);
  one([&] { return DM_GetEntityName(1, name); }, std::string(50, 'n') + '\0', &res);
  EXPECT_EQ(res, -1);
}

TEST_F(RemoteCallShapes, TrapWithNoDataTakesTheRecordOnly) {
  std::vector<unsigned char> rec(896);
  int res = -2;
  auto r = one([&] { return SM_GetTrap(rec.data(), nullptr, 0); }, std::string(896, 'T'), &res);
  EXPECT_EQ(res, 0);
  EXPECT_EQ(r.items[1].size, 0);
  EXPECT_EQ(rec[895], 'T');
}

TEST_F(RemoteCallShapes, SetPrivilegeLeavesTheContextAlone) {
  set_privelege(2);
  one([] { return DM_SetPrivilege(3); });
  auto r = one([] { return DM_EntityHidden(1); });
  EXPECT_EQ(r.hdr.privilege, 2);
  EXPECT_EQ(get_privilege(), 2);
  r = one([] { return DM_LoginUser("u"); });
  EXPECT_EQ(r.hdr.privilege, 5);
  EXPECT_EQ(get_privilege(), 2);
}

TEST_F(RemoteCallShapes, CtxQuietSendsNothing) {
  testsupport::SyslogCapture cap;
  EXPECT_EQ(sDM_GetCtxQuiet(), 0);
  EXPECT_TRUE(cap.lines().empty());
}

struct GuardCase {
  const char *function;
  std::function<int()> call;
  const char *cond;
  int line;
};

TEST(RemoteCallGuards, OnlyTheFirstFailingGuardIsReportedAndNothingIsSent) {
  char buf[8];
  const GuardCase guards[] = {
      {"DM_SetUserCred", [] { return DM_SetUserCred(nullptr, 0, nullptr); }, "user == NULL", 1276},
      {"DM_SetUserCred", [] { return DM_SetUserCred("u", 0, nullptr); }, "cred == NULL", 1277},
      {"DM_GetUserCred", [] { return DM_GetUserCred(nullptr, 8, nullptr); }, "user == NULL", 1299},
      {"DM_GetUserCred", [] { return DM_GetUserCred("u", 8, nullptr); }, "cred == NULL", 1300},
      {"DM_GetUserCred", [&] { return DM_GetUserCred(nullptr, 8, buf); }, "user == NULL", 1299},
      {"DM_SecurityLogLine", [] { return DM_SecurityLogLine(nullptr); }, "line == NULL", 1319},
      {"DM_SecurityLogEntry", [] { return DM_SecurityLogEntry(nullptr, nullptr); }, "user == NULL", 1338},
      {"DM_SecurityLogEntry", [] { return DM_SecurityLogEntry("u", nullptr); }, "line == NULL", 1339},
      {"DM_SetClientIp", [] { return DM_SetClientIp(nullptr); }, "addr == NULL", 1358},
  };
  pl::testing::reset_client_context();
  testsupport::Peer peer(testsupport::Peer::serve([](const testsupport::Request &) {
    return testsupport::Result{};
  }));
  set_socket(peer.client_fd());
  for (const GuardCase &g : guards) {
    SCOPED_TRACE(std::string(g.function) + " " + g.cond);
    testsupport::SyslogCapture cap;
    EXPECT_EQ(g.call(), -1);
    ASSERT_EQ(cap.lines().size(), 1u) << cap.dump();
    EXPECT_REPORT(cap, g.cond, "pam_lib", g.function, g.line);
  }
  peer.close_client();
  peer.join();
  EXPECT_TRUE(peer.requests().empty());
  pl::testing::reset_client_context();
}

}  // namespace
