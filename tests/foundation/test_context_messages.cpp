// Client context defaults, setters, hooks and building request messages.
#include <cstdlib>
#include <cstring>
#include <string>

#include "pam_lib.h"
#include "pam_lib/context.hpp"
#include "pam_lib/message.hpp"
#include "support/harness.hpp"
#include "util_linux.h"

namespace {

struct MsgDeleter {
  void operator()(MSG *m) const { std::free(m); }
};
using MsgPtr = std::unique_ptr<MSG, MsgDeleter>;

class ContextTest : public ::testing::Test {
 protected:
  void SetUp() override { pl::testing::reset_client_context(); }
  void TearDown() override { pl::testing::reset_client_context(); }
};

TEST_F(ContextTest, DefaultsBeforeAnySetter) {
  EXPECT_EQ(get_err(), 0);
  EXPECT_EQ(get_socket(), -1);
  EXPECT_EQ(get_privilege(), -1);
  EXPECT_EQ(get_client_protocol(), 1);
}

TEST_F(ContextTest, SettersAreReadBack) {
  set_socket(7);
  set_privelege(3);
  set_uid(1000);
  set_client_id(42);
  set_debug_connection(1);
  EXPECT_EQ(get_socket(), 7);
  EXPECT_EQ(get_privilege(), 3);
  EXPECT_EQ(pl::g_ctx.uid, 1000);
  EXPECT_EQ(pl::g_ctx.client_id, 42);
  EXPECT_EQ(pl::g_debug_connection, 1);
}

int dbg(const char *, ...) { return 0; }
int rec(MSG *) { return 0; }
char *input(const char *, int) { return nullptr; }
int run(const char *) { return 0; }
int out(REPLY *, FILE **) { return 0; }

TEST_F(ContextTest, HooksInstallAndNullRemoves) {
  set_debug_print(dbg);
  set_reconnect_func(rec);
  set_get_input_func(input);
  set_run_cmd_function(run);
  set_print_out(out);
  EXPECT_EQ(pl::g_hooks.debug_print, &dbg);
  EXPECT_EQ(pl::g_hooks.reconnect, &rec);
  EXPECT_EQ(pl::g_hooks.get_input, &input);
  EXPECT_EQ(pl::g_hooks.run_cmd, &run);
  EXPECT_EQ(pl::g_hooks.print_out, &out);
  set_debug_print(nullptr);
  set_print_out(nullptr);
  EXPECT_EQ(pl::g_hooks.debug_print, nullptr);
  EXPECT_EQ(pl::g_hooks.print_out, nullptr);
}

TEST_F(ContextTest, CreateMsgFillsHeaderFromContextAtCreation) {
  MsgPtr fresh(CreateMsg(14));
  ASSERT_TRUE(fresh);
  EXPECT_EQ(fresh->hdr.privilege, -1);
  EXPECT_EQ(fresh->hdr.uid, -1);

  set_privelege(2);
  set_uid(500);
  set_client_id(9);
  MsgPtr m(CreateMsg(33));
  ASSERT_TRUE(m);
  set_privelege(5);  // later setters do not change the message
  EXPECT_EQ(m->hdr.hdr_len, 56u);
  EXPECT_EQ(m->hdr.item_count, 0);
  EXPECT_EQ(m->hdr.opcode, 33u);
  EXPECT_EQ(m->hdr.privilege, 2);
  EXPECT_EQ(m->hdr.uid, 500);
  EXPECT_EQ(m->hdr.client_id, 9);
  EXPECT_EQ(m->hdr.priority, util_GetCurThreadPriority());
  EXPECT_EQ(m->hdr.magic, 0x6F79696Eu);
  for (uint32_t w : m->hdr.reserved) EXPECT_EQ(w, 0u);
}

TEST_F(ContextTest, CreateMsgOutOfMemoryReportsAndReturnsNull) {
  testsupport::SyslogCapture log;
  {
    testsupport::AllocFailure fail(0);
    EXPECT_EQ(CreateMsg(1), nullptr);
  }
  EXPECT_REPORT(log, "msg == NULL", "pam_lib", "CreateMsg", 117);
  EXPECT_EQ(log.lines().at(0).text, "(\"msg == NULL\") in pam_lib at CreateMsg line 117");
}

TEST_F(ContextTest, AddingOperationsRecordKindSizeValueInOrder) {
  MsgPtr m(CreateMsg(1));
  ASSERT_TRUE(m);
  char buf[16];
  char arr[3] = {1, 2, 3};
  AddIntToMsg(m.get(), -5);
  AddStrToMsg(m.get(), "abc");
  AddStrToMsg(m.get(), "");
  AddStrToMsg(m.get(), nullptr);
  AddArrayToMsg(m.get(), 3, arr);
  AddCArrayToMsg(m.get(), 2, arr);
  AddPtrToMsg(m.get(), 4, buf);
  AddStrPtrToMsg(m.get(), 16, buf);
  ASSERT_EQ(m->hdr.item_count, 8);
  const MSG_ITEM *it = m->items;
  EXPECT_EQ(it[0].kind, ITEM_INT);
  EXPECT_EQ(it[0].size, 4);
  EXPECT_EQ(it[0].value, -5);
  EXPECT_EQ(it[1].kind, ITEM_CARRAY);
  EXPECT_EQ(it[1].size, 4);
  EXPECT_STREQ(reinterpret_cast<const char *>(it[1].value), "abc");
  EXPECT_EQ(it[2].size, 1);
  EXPECT_EQ(it[3].kind, ITEM_CARRAY);
  EXPECT_EQ(it[3].size, 0);
  EXPECT_EQ(it[3].value, 0);
  EXPECT_EQ(it[4].kind, ITEM_ARRAY);
  EXPECT_EQ(it[4].value, reinterpret_cast<intptr_t>(arr));
  EXPECT_EQ(it[5].kind, ITEM_CARRAY);
  EXPECT_EQ(it[6].kind, ITEM_PTR);
  EXPECT_EQ(it[6].size, 4);
  EXPECT_EQ(it[7].kind, ITEM_STRPTR);
  EXPECT_EQ(it[7].size, 16);
  EXPECT_EQ(it[7].value, reinterpret_cast<intptr_t>(buf));
}

TEST_F(ContextTest, ItemValueHoldsAFullPointer) {
  static_assert(sizeof(MSG_ITEM::value) >= sizeof(void *));
  MsgPtr m(CreateMsg(1));
  char buf[4];
  AddPtrToMsg(m.get(), 4, buf);
  EXPECT_EQ(reinterpret_cast<char *>(m->items[0].value), buf);
}

TEST_F(ContextTest, EleventhItemIsIgnored) {
  // Guard the array with a canary: nothing may be written past item 10.
  struct Guarded {
    MSG msg;
    unsigned char canary[64];
  } g;
  std::memset(&g, 0xA5, sizeof g);
  g.msg.hdr.item_count = 0;
  for (int i = 0; i < 12; ++i) AddIntToMsg(&g.msg, i);
  EXPECT_EQ(g.msg.hdr.item_count, MSG_MAX_ITEMS);
  EXPECT_EQ(g.msg.items[9].value, 9);
  for (unsigned char c : g.canary) ASSERT_EQ(c, 0xA5);
}

TEST(AsciiTest, SevenBitTests) {
  EXPECT_EQ(is_ascii_7("tab\tnewline\n"), 1);
  EXPECT_EQ(UTILS_is_ascii_7("tab\tnewline\n"), 0);
  EXPECT_EQ(is_ascii_7("a\x80"), 0);
  EXPECT_EQ(UTILS_is_ascii_7("a\x80"), 0);
  EXPECT_EQ(is_ascii_7(""), 1);
  EXPECT_EQ(UTILS_is_ascii_7(""), 1);
  EXPECT_EQ(UTILS_is_ascii_7("del\x7f"), 1);
  EXPECT_EQ(UTILS_is_ascii_7("Printable ~"), 1);
}

}  // namespace
