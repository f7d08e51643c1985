// Every remote call from one table: the request it sends, and what it makes
// of four replies (good, failure, data one byte short, a text one byte too
// long), of no memory and of no socket.

#include <tuple>

#include "pam_lib/context.hpp"
#include "support/harness.hpp"
#include "support/peer.hpp"

namespace {

using testsupport::bytes_of;

struct Exp {
  int kind;
  int size;
  std::string data;  // the bytes sent
};
Exp I(int32_t v) { return {ITEM_INT, 4, bytes_of(v)}; }
Exp S(const std::string &s) { return {ITEM_CARRAY, int(s.size()) + 1, s + '\0'}; }
Exp B(const std::string &s) { return {ITEM_CARRAY, int(s.size()), s}; }
Exp A(int32_t v) { return {ITEM_ARRAY, 4, bytes_of(v)}; }
Exp O(int n) { return {ITEM_PTR, n, {}}; }
Exp T(int n) { return {ITEM_STRPTR, n, {}}; }

// Caller buffers, out-item k in out[k], filled with `fill` beforehand.
struct Bufs {
  alignas(8) unsigned char out[5][1024];
  explicit Bufs(int fill) { std::memset(out, fill, sizeof out); }
  int *i(int k) { return reinterpret_cast<int *>(out[k]); }
  char *c(int k) { return reinterpret_cast<char *>(out[k]); }
};

constexpr int kCtx = 9;  // the context's privilege

struct Case {
  const char *name;
  uint32_t opcode;
  int32_t privilege;
  std::function<int(Bufs &)> invoke;
  std::vector<Exp> items;
};

const std::vector<Case> kCases = {
    {"DM_SetParam", 13, kCtx, [](Bufs &) { return DM_SetParam("p.a", 0, "abc", 9); }, {S("p.a"), I(0), S("abc"), I(9)}},
    {"DM_SetParam_bytes", 13, kCtx, [](Bufs &) { return DM_SetParam("n", 3, "abc", 0); }, {S("n"), I(3), B("abc"), I(0)}},
    {"DM_GetParam", 14, kCtx, [](Bufs &b) { return DM_GetParam("p.b", 8, b.out[0], 3); }, {S("p.b"), I(8), O(8), I(3)}},
    {"DM_GetParam_null", 14, kCtx, [](Bufs &) { return DM_GetParam(nullptr, 0, nullptr, 0); }, {B(""), I(0), O(0), I(0)}},
    {"DM_IntSet", 47, kCtx, [](Bufs &) { return DM_IntSet("p.c", -5, 1); }, {S("p.c"), I(-5), I(1)}},
    {"DM_IntGet", 48, kCtx, [](Bufs &b) { return DM_IntGet("p.d", b.i(0), 2); }, {S("p.d"), O(4), I(2)}},
    {"DM_BufferSet", 50, kCtx, [](Bufs &b) { std::memcpy(b.out[0], "\1\2\3\4", 4); return DM_BufferSet("p.e", 4, b.out[0], 7); }, {S("p.e"), I(4), {ITEM_ARRAY, 4, "\1\2\3\4"}, I(7)}},
    {"DM_BufferGet", 53, kCtx, [](Bufs &b) { return DM_BufferGet("p.f", 6, b.out[0], 0); }, {S("p.f"), I(6), O(6), I(0)}},
    {"DM_AuthUser", 34, 4, [](Bufs &b) { return DM_AuthUser("bob", "pw", b.i(0), b.i(1)); }, {S("bob"), S("pw"), O(4), O(4)}},
    {"DM_LoginUser", 40, 5, [](Bufs &) { return DM_LoginUser("bob"); }, {S("bob")}},
    {"DM_GetPrivilegeLevel", 27, 4, [](Bufs &b) { return DM_GetPrivilegeLevel(300, b.i(0)); }, {I(300), O(4)}},
    {"DM_SetPrivilege", 49, kCtx, [](Bufs &) { return DM_SetPrivilege(2); }, {I(2)}},
    {"DM_SetUserCred", 60, kCtx, [](Bufs &) { return DM_SetUserCred("bob", 3, "xyz"); }, {S("bob"), I(3), B("xyz")}},
    {"DM_GetUserCred", 61, kCtx, [](Bufs &b) { return DM_GetUserCred("bob", 12, b.out[0]); }, {S("bob"), I(12), O(12)}},
    {"DM_SecurityLogLine", 57, kCtx, [](Bufs &) { return DM_SecurityLogLine("hello"); }, {S("hello")}},
    {"DM_SecurityLogEntry", 59, kCtx, [](Bufs &) { return DM_SecurityLogEntry("bob", "did"); }, {S("bob"), S("did")}},
    {"DM_SetClientIp", 58, kCtx, [](Bufs &) { return DM_SetClientIp("10.1.2.3"); }, {S("10.1.2.3")}},
    {"SM_GetTrap", 43, kCtx, [](Bufs &b) { return SM_GetTrap(b.out[0], nullptr, 0); }, {O(896), O(0), I(0)}},
    {"SM_GetTrapAndData", 56, kCtx, [](Bufs &b) { return SM_GetTrapAndData(b.out[0], b.out[1], 5, b.out[2], 7); }, {O(896), O(5), I(5), O(7), I(7)}},
    {"DM_GetStrErr", 44, kCtx, [](Bufs &b) { return DM_GetStrErr(4, 40, b.c(0)); }, {I(4), I(40), T(40)}},
    {"DM_GetHostName", 45, kCtx, [](Bufs &b) { return DM_GetHostName(b.c(0), 21); }, {T(21), I(21)}},
    {"DM_GetEnv", 39, kCtx, [](Bufs &b) { return DM_GetEnv("VERSION", b.c(0)); }, {S("VERSION"), T(255)}},
    {"DM_EntityFind", 4, kCtx, [](Bufs &b) { return DM_EntityFind("a.b", b.i(0)); }, {S("a.b"), O(4)}},
    {"DM_GetEntityName", 7, kCtx, [](Bufs &b) { return DM_GetEntityName(7, b.c(0)); }, {I(7), T(50)}},
    {"DM_GetEntityPath", 8, kCtx, [](Bufs &b) { return DM_GetEntityPath(8, b.c(0)); }, {I(8), T(255)}},
    {"DM_GetEntityInfo", 9, kCtx, [](Bufs &b) { return DM_GetEntityInfo(9, b.c(0)); }, {I(9), T(255)}},
    {"DM_GetEntityParent", 10, kCtx, [](Bufs &b) { return DM_GetEntityParent(10, b.i(0)); }, {I(10), O(4)}},
    {"DM_GetEntityFirstChild", 11, kCtx, [](Bufs &b) { return DM_GetEntityFirstChild(11, b.i(0), b.i(1)); }, {I(11), O(4), O(4)}},
    {"DM_GetEntityNextChild", 12, kCtx, [](Bufs &b) { return DM_GetEntityNextChild(12, b.i(0)); }, {I(12), O(4)}},
    {"DM_GetEntityFullName", 20, kCtx, [](Bufs &b) { return DM_GetEntityFullName(20, b.c(0)); }, {I(20), T(100)}},
    {"DM_EntityHidden", 36, kCtx, [](Bufs &) { return DM_EntityHidden(36); }, {I(36)}},
    {"DM_GetFirstParam", 18, kCtx, [](Bufs &b) { return DM_GetFirstParam(18, b.c(0), b.i(1), b.i(2)); }, {I(18), T(50), O(4), O(4)}},
    {"DM_GetNextParam", 19, kCtx, [](Bufs &b) { return DM_GetNextParam(19, b.c(0), b.i(1)); }, {I(19), T(50), O(4)}},
    {"DM_GetFirstDotParam", 30, kCtx, [](Bufs &b) { return DM_GetFirstDotParam(30, "ipv4", b.c(0), b.i(1)); }, {I(30), S("ipv4"), T(50), O(4)}},
    {"DM_GetNextDotParam", 31, kCtx, [](Bufs &b) { return DM_GetNextDotParam(31, b.c(0)); }, {I(31), T(50)}},
    {"DM_GetParamInfo", 15, kCtx, [](Bufs &b) { return DM_GetParamInfo("p.g", b.c(0)); }, {S("p.g"), T(255)}},
    {"DM_IsParamEnum", 21, kCtx, [](Bufs &b) { return DM_IsParamEnum("p.h", b.i(0)); }, {S("p.h"), O(4)}},
    {"DM_ConvertIntValToStr", 22, kCtx, [](Bufs &b) { return DM_ConvertIntValToStr("p.i", 3, 30, b.c(0)); }, {S("p.i"), I(3), I(30), T(30)}},
    {"DM_GetParamType", 23, kCtx, [](Bufs &b) { return DM_GetParamType("p.j", b.i(0)); }, {S("p.j"), O(4)}},
    {"DM_GetParamMinMax", 24, kCtx, [](Bufs &b) { return DM_GetParamMinMax("p.k", b.i(0), b.i(1), b.i(2)); }, {S("p.k"), O(4), O(4), O(4)}},
    {"DM_GetNextVal", 35, kCtx, [](Bufs &b) { *b.i(0) = 0; return DM_GetNextVal("p.l", 20, b.i(0), b.c(1)); }, {S("p.l"), I(20), A(0), T(20)}},
    {"DM_GetParamConfirmationText", 41, kCtx, [](Bufs &b) { return DM_GetParamConfirmationText("p.m", "v", b.c(0), 1); }, {S("p.m"), S("v"), T(1), I(1)}},
    {"DM_CanGet", 37, kCtx, [](Bufs &) { return DM_CanGet(2, "p.n"); }, {I(2), S("p.n")}},
    {"DM_CanSet", 38, kCtx, [](Bufs &) { return DM_CanSet(2, "p.n"); }, {I(2), S("p.n")}},
    {"CMD_ExecCommand", 26, kCtx, [](Bufs &) { return CMD_ExecCommand(1, "ping", nullptr); }, {I(1), S("ping"), B("")}},
    {"CMD_GetFirstCommand", 28, kCtx, [](Bufs &b) { return CMD_GetFirstCommand(1, b.c(0), b.c(1), b.i(2)); }, {I(1), T(50), T(255), O(4)}},
    {"CMD_GetNextCommand", 29, kCtx, [](Bufs &b) { return CMD_GetNextCommand(1, b.c(0), b.c(1)); }, {I(1), T(50), T(255)}},
    {"CMD_GetCmdOption", 32, kCtx, [](Bufs &b) { *b.i(0) = 2; return CMD_GetCmdOption(1, "ping", b.i(0), "c", b.c(1)); }, {I(1), S("ping"), A(2), S("c"), T(255)}},
    {"CMD_IsCommand", 33, kCtx, [](Bufs &) { return CMD_IsCommand(1, "ping"); }, {I(1), S("ping")}},
    {"CMD_GetCommandConfirmationText", 42, kCtx, [](Bufs &b) { return CMD_GetCommandConfirmationText(1, "reboot", "now", b.c(0), 80); }, {I(1), S("reboot"), S("now"), T(80), I(80)}},
};

// Reply data for the out-items: distinct bytes per item; texts as long as
// fits (capacity - 1 characters), with `overlong` the first one a character
// longer.
std::string reply_for(const std::vector<Exp> &items, std::vector<std::string> *pieces, bool overlong) {
  std::string data;
  int k = 0;
  for (const Exp &e : items) {
    std::string piece;
    if (e.kind == ITEM_STRPTR) piece = std::string(e.size - 1 + std::exchange(overlong, false), char('a' + k)) + '\0';
    for (int j = 0; j < e.size && e.kind != ITEM_STRPTR; ++j) piece += char(0x10 * (k + 1) + j % 16);
    if (e.kind != ITEM_ARRAY && e.kind != ITEM_PTR && e.kind != ITEM_STRPTR) continue;
    if (pieces) pieces->push_back(piece);
    data += piece;
    ++k;
  }
  return data;
}

class RemoteCalls : public ::testing::TestWithParam<size_t> {
  void SetUp() override {
    pl::testing::reset_client_context();
    set_privelege(kCtx);
    set_uid(1234);
    set_client_id(55);
  }
};

TEST_P(RemoteCalls, RequestAndReplies) {
  const Case &c = kCases[GetParam()];
  std::vector<std::string> pieces;
  const std::string good = reply_for(c.items, &pieces, false), overlong = reply_for(c.items, nullptr, true);
  const std::vector<testsupport::Result> replies = {{5, good, 0, 3}, {-1, good, 0, 41}, {0, good.substr(0, good.size() - !good.empty()), 0, 0}, {0, overlong, 0, 0}};
  size_t n = 0;
  testsupport::Peer peer(testsupport::Peer::serve([&](const testsupport::Request &) { return replies[n++ % 4]; }));
  Bufs untouched(0xEE), b(0xEE), failed(0xEE), s1(0x11), s2(0x22);
  EXPECT_EQ(c.invoke(untouched), -1);  // no socket: only the call's own preparation
  set_socket(peer.client_fd());
  testsupport::SyslogCapture cap;
  ASSERT_EQ(c.invoke(b), 5);
  EXPECT_EQ(get_err(), 3);
  for (size_t k = 0; k < pieces.size(); ++k)
    EXPECT_EQ(std::string(b.c(static_cast<int>(k)), pieces[k].size()), pieces[k]) << "out-item " << k;
  EXPECT_EQ(c.invoke(failed), -1);
  EXPECT_EQ(get_err(), 41);
  EXPECT_EQ(std::memcmp(failed.out, untouched.out, sizeof b.out), 0);
  EXPECT_EQ(cap.dump(), "");
  EXPECT_EQ(c.invoke(s1), good.empty() ? 0 : -1);
  EXPECT_EQ(c.invoke(s2), overlong != good ? -1 : 0);
  EXPECT_EQ(cap.contains_substr("(\"info->size < tmp\")"), overlong != good) << cap.dump();
  cap.clear();
  {
    testsupport::AllocFailure fail(0);
    EXPECT_EQ(c.invoke(b), -1);
  }
  EXPECT_REPORT(cap, "msg == NULL", "pam_lib", "CreateMsg", 117);
  const std::string name = std::string(c.name).substr(0, std::string(c.name).find('_', 4));
  EXPECT_TRUE(cap.contains_substr("(\"msg == NULL\") in pam_lib at " + name + " line ")) << cap.dump();
  EXPECT_EQ(get_privilege(), kCtx);
  peer.close_client();
  peer.join();
  const auto reqs = peer.requests();
  ASSERT_EQ(reqs.size(), 4u);  // nothing without a socket or memory
  const auto &r = reqs[0];
  ASSERT_TRUE(r.well_formed);
  EXPECT_EQ(std::vector<int>({int(r.hdr.opcode), r.hdr.privilege, r.hdr.uid, r.hdr.client_id}), std::vector<int>({int(c.opcode), c.privilege, 1234, 55}));
  ASSERT_EQ(r.items.size(), c.items.size());
  for (size_t i = 0; i < r.items.size(); ++i)
    EXPECT_TRUE(r.items[i].kind == c.items[i].kind && r.items[i].size == c.items[i].size && r.items[i].data == c.items[i].data) << "item " << i;
  for (const auto &other : reqs)  // whatever the caller's buffers held
    EXPECT_EQ(other.raw.substr(sizeof(MSG_HDR)), r.raw.substr(sizeof(MSG_HDR)));
}

INSTANTIATE_TEST_SUITE_P(All, RemoteCalls, ::testing::Range<size_t>(0, kCases.size()),
                         [](const auto &info) { return std::string(kCases[info.param].name); });

TEST(RemoteCallGuards, OnlyTheFirstFailingGuardIsReportedAndNothingIsSent) {
  char buf[8];
  const std::vector<std::tuple<std::function<int()>, const char *, const char *, int>> guards = {
      {[] { return DM_SetUserCred(nullptr, 0, nullptr); }, "DM_SetUserCred", "user == NULL", 1276},
      {[] { return DM_SetUserCred("u", 0, nullptr); }, "DM_SetUserCred", "cred == NULL", 1277},
      {[] { return DM_GetUserCred(nullptr, 8, nullptr); }, "DM_GetUserCred", "user == NULL", 1299},
      {[] { return DM_GetUserCred("u", 8, nullptr); }, "DM_GetUserCred", "cred == NULL", 1300},
      {[&] { return DM_GetUserCred(nullptr, 8, buf); }, "DM_GetUserCred", "user == NULL", 1299},
      {[] { return DM_SecurityLogLine(nullptr); }, "DM_SecurityLogLine", "line == NULL", 1319},
      {[] { return DM_SecurityLogEntry(nullptr, nullptr); }, "DM_SecurityLogEntry", "user == NULL", 1338},
      {[] { return DM_SecurityLogEntry("u", nullptr); }, "DM_SecurityLogEntry", "line == NULL", 1339},
      {[] { return DM_SetClientIp(nullptr); }, "DM_SetClientIp", "addr == NULL", 1358},
  };
  pl::testing::reset_client_context();
  testsupport::Peer peer(testsupport::Peer::serve([](const testsupport::Request &) { return testsupport::Result{}; }));
  set_socket(peer.client_fd());
  for (const auto &[call, function, cond, line] : guards) {
    testsupport::SyslogCapture cap;
    EXPECT_EQ(call(), -1);
    EXPECT_EQ(cap.dump(), "  [11] " + testsupport::report_text(cond, "pam_lib", function, line) + "\n");
  }
  peer.close_client();
  peer.join();
  EXPECT_TRUE(peer.requests().empty());
}

}  // namespace
