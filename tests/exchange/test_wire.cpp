// Encoding request frames and decoding result frames. Expected bytes are
// written as the appliance (big-endian) sends them; 32-bit words are turned
// into the processor's order where the frame carries them so.
#include <cstring>

#include "common.hpp"
#include "pam_lib/message.hpp"
#include "pam_lib/wire.hpp"
#include "util_linux.h"

namespace exchange_test {
namespace {

class WireTest : public ExchangeTest {
 protected:
  // Encodes m under `seq`, returning the frame (empty when it did not fit).
  std::string encode(MSG *m, uint32_t seq) {
    unsigned char buf[SERVER_BUFFER_SIZE + 16];
    std::memset(buf, 0xEE, sizeof buf);
    int len = pl::PrepareSendMsg(m, buf, seq);
    EXPECT_EQ(buf[SERVER_BUFFER_SIZE], 0xEE) << "wrote past the frame";
    return std::string(reinterpret_cast<char *>(buf), static_cast<size_t>(len));
  }
  MsgPtr make(uint32_t opcode) { return MsgPtr(CreateMsg(opcode)); }
};

const std::vector<size_t> kHeaderWords = {0, 4, 8, 12, 16, 20, 24, 28, 32, 36, 40, 44, 48, 52};

// The 56 header bytes of a request from privilege 3, uid 1000, client id 9,
// opcode 14, sequence 5, for a frame of `total` bytes with `items` items.
std::vector<unsigned char> header_be(unsigned char total, unsigned char items) {
  return {0x00, 0x00, 0x00, 0x38, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, total,
          0x00, 0x00, 0x00, items, 0x00, 0x00, 0x00, 0x0E, 0x00, 0x00, 0x00, 0x03,
          0x00, 0x00, 0x03, 0xE8, 0x00, 0x00, 0x00, 0x00, 0x6F, 0x79, 0x69, 0x6E,
          0x00, 0x00, 0x00, 0x09, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
}

TEST_F(WireTest, RequestFrameBytes) {
  set_privelege(3);
  set_uid(1000);
  set_client_id(9);
  if (util_GetCurThreadPriority() != 0) GTEST_SKIP() << "test thread runs under a real-time policy";

  auto empty = make(14);
  EXPECT_EQ(encode(empty.get(), 5), from_big_endian(header_be(0x38, 0), kHeaderWords));
  EXPECT_EQ(empty->hdr.total_len, 56u);
  EXPECT_EQ(empty->hdr.seq, 5u);

  // One ITEM_INT of value 1: 00 00 04 00 00 00 01, filled to 64 bytes.
  auto one = make(14);
  AddIntToMsg(one.get(), 1);
  auto be = header_be(0x40, 1);
  for (unsigned char b : {0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x01, 0x00}) be.push_back(b);
  auto words = kHeaderWords;
  words.push_back(59);
  EXPECT_EQ(encode(one.get(), 5), from_big_endian(be, words));

  // "abc", a pointer item of capacity 4, a string pointer of capacity 300
  // (size high byte first), a null string and an unknown kind (not sent).
  auto mixed = make(14);
  int32_t out;
  char name[300];
  AddStrToMsg(mixed.get(), "abc");
  AddPtrToMsg(mixed.get(), 4, &out);
  AddStrPtrToMsg(mixed.get(), 300, name);
  AddStrToMsg(mixed.get(), nullptr);
  pl::AddItemToMsg(mixed.get(), 9, 50, 0);
  be = header_be(0x48, 5);
  for (unsigned char b : {0x02, 0x00, 0x04, 0x61, 0x62, 0x63, 0x00, 0x03, 0x00, 0x04,
                          0x04, 0x01, 0x2C, 0x02, 0x00, 0x00})
    be.push_back(b);
  EXPECT_EQ(encode(mixed.get(), 5), from_big_endian(be, kHeaderWords));
}

TEST_F(WireTest, FrameLimitIs4096Bytes) {
  testsupport::SyslogCapture cap;
  const std::string fits(4036, 's');  // 56 + 3 + 4037 = 4096
  auto m = make(1);
  AddStrToMsg(m.get(), fits.c_str());
  EXPECT_EQ(encode(m.get(), 0).size(), 4096u);
  EXPECT_EQ(m->hdr.total_len, 4096u);
  EXPECT_TRUE(cap.lines().empty());

  const std::string too_long(4037, 's');
  m = make(1);
  AddStrToMsg(m.get(), too_long.c_str());
  EXPECT_EQ(encode(m.get(), 0), "");
  EXPECT_REPORT(cap, "len + 3 + info->size > SERVER_BUFFER_SIZE", "pam_lib", "PrepareSendMsg", 272);

  // 4032 bytes of array leave room for one more head, not for an integer.
  std::string block(4030, 'a');
  m = make(1);
  AddCArrayToMsg(m.get(), 4030, block.data());  // ends at 4089
  AddIntToMsg(m.get(), 1);                      // would end at 4096: fits
  EXPECT_EQ(encode(m.get(), 0).size(), 4096u);
  AddIntToMsg(m.get(), 2);
  EXPECT_EQ(encode(m.get(), 0), "");
  EXPECT_REPORT(cap, "len + 3 + info->size > SERVER_BUFFER_SIZE", "pam_lib", "PrepareSendMsg", 262);

  m = make(1);
  block.assign(4035, 'a');
  AddArrayToMsg(m.get(), 4035, block.data());   // ends at 4094
  AddPtrToMsg(m.get(), 4, nullptr);             // head would end at 4097
  EXPECT_EQ(encode(m.get(), 0), "");
  EXPECT_REPORT(cap, "len + 3 > SERVER_BUFFER_SIZE", "pam_lib", "PrepareSendMsg", 282);
}

TEST_F(WireTest, UnsendableItemsAreRefused) {
  auto m = make(1);
  AddCArrayToMsg(m.get(), -5, "x");  // a negative size would copy wildly
  EXPECT_EQ(encode(m.get(), 0), "");
  m = make(1);
  AddCArrayToMsg(m.get(), 10, nullptr);  // no bytes to send
  EXPECT_EQ(encode(m.get(), 0), "");
}

TEST_F(WireTest, RetrieveParamsFillsOutItemsInOrder) {
  testsupport::SyslogCapture cap;
  int32_t a = 0, b = 0;
  char word[5] = "????", arr[3] = {};
  auto m = make(1);
  AddIntToMsg(m.get(), 77);          // takes nothing
  AddPtrToMsg(m.get(), 4, &a);
  AddStrToMsg(m.get(), "in");        // takes nothing
  AddStrPtrToMsg(m.get(), 5, word);
  AddArrayToMsg(m.get(), 3, arr);
  AddPtrToMsg(m.get(), 4, &b);
  const std::string data = testsupport::bytes_of(int32_t{-3}) + std::string("cat\0", 4) +
                           "xyz" + testsupport::bytes_of(int32_t{0x01020304});
  EXPECT_EQ(pl::RetrieveParams(m.get(), reinterpret_cast<const unsigned char *>(data.data()),
                               static_cast<int>(data.size())), 0);
  EXPECT_EQ(a, -3);
  EXPECT_STREQ(word, "cat");
  EXPECT_EQ(std::string(arr, 3), "xyz");
  EXPECT_EQ(b, 0x01020304);

  // A five-letter word does not fit a capacity of 5 with its NUL.
  m = make(1);
  AddStrPtrToMsg(m.get(), 5, word);
  const std::string five("hello\0", 6);
  EXPECT_EQ(pl::RetrieveParams(m.get(), reinterpret_cast<const unsigned char *>(five.data()), 6), -1);
  EXPECT_REPORT(cap, "info->size < tmp", "pam_lib", "RetrieveParams", 322);
  EXPECT_STREQ(word, "cat");

  // Short data and a string without its NUL fail without a report; items
  // served before the failure keep their copy.
  cap.clear();
  m = make(1);
  AddPtrToMsg(m.get(), 4, &a);
  AddPtrToMsg(m.get(), 4, &b);
  const std::string six = testsupport::bytes_of(int32_t{5}) + "zz";
  EXPECT_EQ(pl::RetrieveParams(m.get(), reinterpret_cast<const unsigned char *>(six.data()), 6), -1);
  EXPECT_EQ(a, 5);
  EXPECT_EQ(b, 0x01020304);
  m = make(1);
  AddStrPtrToMsg(m.get(), 5, word);
  EXPECT_EQ(pl::RetrieveParams(m.get(), reinterpret_cast<const unsigned char *>("abc"), 3), -1);
  EXPECT_TRUE(cap.lines().empty()) << cap.dump();
}

TEST_F(WireTest, HandleCmdResult) {
  testsupport::SyslogCapture cap;
  REPLY frame{};
  int32_t x = 0, y = 0;
  auto m = make(1);
  AddPtrToMsg(m.get(), 4, &x);
  AddPtrToMsg(m.get(), 4, &y);
  const int32_t vals[2] = {100, 200};
  std::memcpy(frame.data, vals, 8);
  frame.hdr.result = 7;
  frame.hdr.err = 4;
  frame.hdr.chunk_len = 8;
  EXPECT_EQ(pl::handle_cmd_result(&frame, m.get()), 7);
  EXPECT_EQ(x, 100);
  EXPECT_EQ(y, 200);
  EXPECT_EQ(get_err(), 4);

  x = y = 0;
  frame.hdr.result = -1;
  frame.hdr.err = 5;
  EXPECT_EQ(pl::handle_cmd_result(&frame, m.get()), -1);
  EXPECT_EQ(x, 0);
  EXPECT_EQ(get_err(), 5);
  EXPECT_TRUE(cap.lines().empty());

  frame.hdr.result = 7;
  frame.hdr.status = 12;
  frame.hdr.err = 6;
  EXPECT_EQ(pl::handle_cmd_result(&frame, m.get()), -1);
  EXPECT_EQ(get_err(), 6);
  EXPECT_TRUE(cap.contains(LOG_USER | LOG_ERR, "invoke error:12"));
  EXPECT_EQ(x, 0);

  frame.hdr.status = 0;
  frame.hdr.chunk_len = 7;  // one byte short: decoding fails
  EXPECT_EQ(pl::handle_cmd_result(&frame, m.get()), -1);
  EXPECT_REPORT(cap, "err == ERROR", "pam_lib", "handle_cmd_result", 350);
}

}  // namespace
}  // namespace exchange_test
