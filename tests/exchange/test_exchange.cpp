// The exchange end to end against the scripted daemon peer.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common.hpp"

namespace exchange_test {
namespace {

using testsupport::PeerConn;
using testsupport::bytes_of;

// A small call: one integer in, one 4-byte out item.
MSG *small_call(int32_t in, int32_t *out, uint32_t opcode = 14) {
  MSG *m = CreateMsg(opcode);
  AddIntToMsg(m, in);
  AddPtrToMsg(m, 4, out);
  return m;
}

std::string trace(const char *fmt, int sock, uint32_t seq) {
  char buf[128];
  std::snprintf(buf, sizeof buf, fmt, sock, static_cast<int>(seq));
  return buf;
}

TEST_F(ExchangeTest, SmallCallRoundTrip) {
  testsupport::Peer peer([](PeerConn &c) {
    auto r = c.read_request();
    ASSERT_TRUE(r);
    c.send_result(7, bytes_of(int32_t{r->items[0].as_int() * 2}), 0, 33);
  });
  install_hooks();
  set_socket(peer.client_fd());
  set_privelege(2);
  set_uid(500);
  const uint32_t seq = pl::testing::next_sequence();
  int32_t out = 0;
  EXPECT_EQ(SendAndRcv(small_call(21, &out)), 7);
  EXPECT_EQ(out, 42);
  EXPECT_EQ(get_err(), 33);
  peer.join();
  auto reqs = peer.requests();
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(reqs[0].hdr.seq, seq);
  EXPECT_EQ(reqs[0].hdr.opcode, 14u);
  EXPECT_EQ(reqs[0].hdr.privilege, 2);
  EXPECT_EQ(reqs[0].hdr.uid, 500);
  EXPECT_EQ(reqs[0].hdr.total_len, 68u);  // 56 + 7 + 3, filled
  ASSERT_TRUE(reqs[0].well_formed);
  ASSERT_EQ(reqs[0].items.size(), 2u);
  EXPECT_EQ(reqs[0].items[1].kind, ITEM_PTR);
  EXPECT_EQ(reqs[0].items[1].size, 4);
  const int s = peer.client_fd();
  EXPECT_EQ(hooks().debug, (std::vector<std::string>{trace("%d: client -send %d\n", s, seq),
                                                      trace("%d:client- recieve %d\n", s, seq)}));
  EXPECT_EQ(hooks().reconnects, 0);
  EXPECT_EQ(pl::testing::next_sequence(), seq + 1);
}

TEST_F(ExchangeTest, SequenceCounterWraps) {
  testsupport::Peer peer(testsupport::Peer::serve(
      [](const testsupport::Request &) { return testsupport::Result{0, bytes_of(int32_t{1})}; }));
  set_socket(peer.client_fd());
  pl::testing::set_next_sequence(0xFFFFFFFFu);
  int32_t out;
  EXPECT_EQ(SendAndRcv(small_call(1, &out)), 0);
  EXPECT_EQ(SendAndRcv(small_call(1, &out)), 0);
  peer.close_client();
  peer.join();
  auto reqs = peer.requests();
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_EQ(reqs[0].hdr.seq, 0xFFFFFFFFu);
  EXPECT_EQ(reqs[1].hdr.seq, 0u);
}

TEST_F(ExchangeTest, NoSocketFailsAtOnce) {
  install_hooks();
  const uint32_t seq = pl::testing::next_sequence();
  int32_t out = 5;
  EXPECT_EQ(SendAndRcv(small_call(1, &out)), -1);
  EXPECT_EQ(out, 5);
  EXPECT_EQ(hooks().debug, (std::vector<std::string>{trace("%d:client-recieve failed %d\n", -1, seq)}));
  EXPECT_EQ(hooks().reconnects, 1);
  EXPECT_NE(hooks().reconnect_msg, nullptr);
  EXPECT_EQ(pl::testing::next_sequence(), seq + 1);  // the number is used up
}

TEST_F(ExchangeTest, ResultWordsAndErrors) {
  testsupport::SyslogCapture cap;
  testsupport::Peer peer([](PeerConn &c) {
    c.read_request();
    c.send_result(-1, bytes_of(int32_t{99}), 0, 12);  // failure: nothing decoded
    c.read_request();
    c.send_result(5, "", 3, 13);                      // invoke error
    c.read_request();
    c.send_result(5, "ab", 0, 14);                    // too short for the out item
  });
  install_hooks();
  set_socket(peer.client_fd());
  int32_t out = 1;
  EXPECT_EQ(SendAndRcv(small_call(1, &out)), -1);
  EXPECT_EQ(out, 1);
  EXPECT_EQ(get_err(), 12);
  EXPECT_EQ(SendAndRcv(small_call(1, &out)), -1);
  EXPECT_EQ(get_err(), 13);
  EXPECT_TRUE(cap.contains(LOG_USER | LOG_ERR, "invoke error:3")) << cap.dump();
  EXPECT_EQ(SendAndRcv(small_call(1, &out)), -1);
  EXPECT_EQ(get_err(), 14);
  EXPECT_REPORT(cap, "err == ERROR", "pam_lib", "handle_cmd_result", 350);
  EXPECT_EQ(hooks().reconnects, 0);  // results, not exchange failures
}

TEST_F(ExchangeTest, PrintFramesShareThePipeSlot) {
  testsupport::Peer peer([](PeerConn &c) {
    c.read_request();
    c.send_frame(REPLY_PRINT, "hello ");
    c.send_frame(REPLY_PRINT, "world");
    c.send_frame(REPLY_PRINT_END, "");
    c.send_frame(REPLY_PRINT, "again");
    c.send_result(3);
  });
  install_hooks();
  const std::string out_file = tmp_.file("printed");
  hooks().pipe_command = "cat >> " + out_file;
  set_socket(peer.client_fd());
  EXPECT_EQ(SendAndRcv(CreateMsg(1)), 3);
  EXPECT_EQ(hooks().printed, (std::vector<std::string>{"hello ", "world", "again"}));
  ASSERT_EQ(hooks().slots.size(), 3u);
  EXPECT_EQ(hooks().slots[0], hooks().slots[1]);
  // The end frame emptied the slot (a new pipe for "again"); both pipes were
  // closed, the second at the end of the exchange (pclose waits for cat).
  EXPECT_EQ(hooks().slots[1], hooks().slots[2]);
  EXPECT_EQ(hooks().slot_empty, (std::vector<bool>{true, false, true}));
  EXPECT_EQ(testsupport::read_file(out_file), "hello worldagain");
}

TEST_F(ExchangeTest, PrintWithoutHookIsDropped) {
  testsupport::Peer peer([](PeerConn &c) {
    c.read_request();
    c.send_frame(REPLY_PRINT, "text");
    c.send_frame(REPLY_PRINT_END, "");
    c.send_result(0);
  });
  set_socket(peer.client_fd());
  EXPECT_EQ(SendAndRcv(CreateMsg(1)), 0);
}

TEST_F(ExchangeTest, XmlFramesStreamIntoTheFile) {
  std::string payload(10000, '\0');
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>('a' + i % 26);
  testsupport::Peer peer([&](PeerConn &c) {
    c.read_request();
    c.send_frame(REPLY_XML, payload);
    c.send_frame(REPLY_XML, "<end/>");
    c.send_result(0);
  });
  set_socket(peer.client_fd());
  const std::string name = xml_base_ + "." + std::to_string(getpid()) + "_" +
                           std::to_string(peer.client_fd());
  testsupport::write_file(name, "old content that must go away");
  EXPECT_EQ(SendAndRcv(CreateMsg(1)), 0);
  EXPECT_EQ(GetXMLFileName(), name);
  EXPECT_EQ(testsupport::read_file(name), payload + "<end/>");
  // The stream is closed: no descriptor of this process refers to the file.
  for (int fd = 0; fd < 1024; ++fd) {
    char link[64], target[512];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, target, sizeof target - 1);
    if (n > 0) {
      EXPECT_NE(std::string(target, static_cast<size_t>(n)), name);
    }
  }
}

TEST_F(ExchangeTest, XmlFileThatCannotBeOpenedIsSkipped) {
  const std::string base = tmp_.file("missing-dir/xml");
  pl::testing::set_xml_base(base.c_str());
  testsupport::Peer peer([](PeerConn &c) {
    c.read_request();
    c.send_frame(REPLY_XML, "<a/>");
    c.send_frame(REPLY_XML, "<b/>");
    c.send_result(4);
  });
  set_socket(peer.client_fd());
  testsupport::SyslogCapture cap;
  EXPECT_EQ(SendAndRcv(CreateMsg(1)), 4);
  EXPECT_TRUE(cap.lines().empty()) << cap.dump();
}

TEST_F(ExchangeTest, LinksPlantedAtTheXmlNameAreNotWrittenThrough) {
  // Another user places a symlink or a hard link to a file of root's at the
  // predictable name: the output is dropped and the file stays as it was.
  const std::string victim = tmp_.file("victim");
  for (auto plant : {&symlink, &link}) {
    testsupport::write_file(victim, "precious");
    testsupport::Peer peer([](PeerConn &c) {
      c.read_request();
      c.send_frame(REPLY_XML, "<owned/>");
      c.send_result(4);
    });
    set_socket(peer.client_fd());
    const std::string name = GetXMLFileName();
    ASSERT_EQ(plant(victim.c_str(), name.c_str()), 0);
    EXPECT_EQ(SendAndRcv(CreateMsg(1)), 4);
    EXPECT_EQ(testsupport::read_file(victim), "precious");
    unlink(name.c_str());
  }
}

TEST_F(ExchangeTest, XmlFileNameFormat) {
  pl::testing::set_xml_base(nullptr);
  set_socket(5);
  EXPECT_EQ(std::string(GetXMLFileName()), "/mnt/temp/xml." + std::to_string(getpid()) + "_5");
  char *first = GetXMLFileName();
  set_socket(-1);
  EXPECT_EQ(GetXMLFileName(), first);  // one buffer, rewritten
  EXPECT_EQ(std::string(first), "/mnt/temp/xml." + std::to_string(getpid()) + "_-1");
}

TEST_F(ExchangeTest, InputRequestsAreAnswered) {
  testsupport::Peer peer([](PeerConn &c) {
    c.read_request();
    c.send_frame(REPLY_INPUT, std::string("Name? ") + '\0', 17);
    c.read_input_reply();
    c.send_frame(REPLY_INPUT, std::string("Again? ") + '\0', 18);
    c.read_input_reply();
    c.send_result(0);
  });
  set_socket(peer.client_fd());
  // The second prompt is answered with NULL: an empty line.
  struct Flip {
    static char *hook(const char *prompt, int value) {
      hooks().prompts.emplace_back(prompt, value);
      return hooks().prompts.size() == 1 ? strdup("admin") : nullptr;
    }
  };
  set_get_input_func(Flip::hook);
  EXPECT_EQ(SendAndRcv(CreateMsg(1)), 0);
  peer.join();
  EXPECT_EQ(hooks().prompts,
            (std::vector<std::pair<std::string, int>>{{"Name? ", 17}, {"Again? ", 18}}));
  EXPECT_EQ(peer.input_replies(),
            (std::vector<std::string>{std::string("admin") + '\0', std::string(1, '\0')}));
}

TEST_F(ExchangeTest, InputWithoutHookSendsAnEmptyLine) {
  std::string raw;
  testsupport::Peer peer([&](PeerConn &c) {
    c.read_request();
    c.send_frame(REPLY_INPUT, std::string("? ") + '\0');
    raw = c.read_bytes(5).value_or("");
    c.send_result(0);
  });
  set_socket(peer.client_fd());
  EXPECT_EQ(SendAndRcv(CreateMsg(1)), 0);
  peer.join();
  EXPECT_EQ(raw, bytes_of(int32_t{1}) + std::string(1, '\0'));
}

TEST_F(ExchangeTest, PromptAndCommandEndAtTheChunkEnd) {
  const std::string long_prompt(SERVER_BUFFER_SIZE, 'P');  // no NUL at all
  testsupport::Peer peer([&](PeerConn &c) {
    c.read_request();
    c.send_frame(REPLY_INPUT, long_prompt);
    c.read_input_reply();
    c.send_frame(REPLY_RUN_CMD, "ls -l");                   // no NUL
    c.send_frame(REPLY_RUN_CMD, std::string("date\0junk", 9));
    c.send_result(0);
  });
  install_hooks();
  set_socket(peer.client_fd());
  EXPECT_EQ(SendAndRcv(CreateMsg(1)), 0);
  ASSERT_EQ(hooks().prompts.size(), 1u);
  EXPECT_EQ(hooks().prompts[0].first, long_prompt);
  EXPECT_EQ(hooks().commands, (std::vector<std::string>{"ls -l", "date"}));
}

TEST_F(ExchangeTest, LongPromptIsAnsweredOnce) {
  // A prompt frame longer than one chunk still gets exactly one input reply.
  testsupport::Peer peer([](PeerConn &c) {
    c.read_request();
    c.send_frame(REPLY_INPUT, std::string(6000, 'Q'));
    c.read_input_reply();
    c.send_result(9);
  });
  install_hooks();
  set_socket(peer.client_fd());
  EXPECT_EQ(SendAndRcv(CreateMsg(1)), 9);
  peer.join();
  EXPECT_EQ(hooks().prompts.size(), 1u);
  EXPECT_EQ(peer.input_replies().size(), 1u);
}

TEST_F(ExchangeTest, OverLongCommandIsNeverRunCut) {
  // Cut at 4096 bytes, the first command would run "rm -rf /tmp/x" instead
  // of a harmless longer one; a NUL inside the first chunk ends it in time.
  const std::string cut = "rm -rf /tmp/x" + std::string(SERVER_BUFFER_SIZE - 13, ' ') + "-not-this";
  const std::string ended = "date" + std::string(1, '\0') + std::string(4996, 'j');
  testsupport::Peer peer([&](PeerConn &c) {
    c.read_request();
    c.send_frame(REPLY_RUN_CMD, std::string(5000, 'x'));
    c.send_frame(REPLY_RUN_CMD, cut);
    c.send_frame(REPLY_RUN_CMD, ended);
    c.send_result(6);
  });
  install_hooks();
  set_socket(peer.client_fd());
  EXPECT_EQ(SendAndRcv(CreateMsg(1)), 6);
  EXPECT_EQ(hooks().commands, std::vector<std::string>{"date"});
  const std::string skipped = std::to_string(peer.client_fd()) + ":client- command of ";
  EXPECT_EQ(std::count_if(hooks().debug.begin(), hooks().debug.end(),
                          [&](const std::string &d) { return d.rfind(skipped, 0) == 0; }),
            2) << testing::PrintToString(hooks().debug);
}

TEST_F(ExchangeTest, RunCommandWithoutHookDoesNothing) {
  testsupport::Peer peer([](PeerConn &c) {
    c.read_request();
    c.send_frame(REPLY_RUN_CMD, std::string("reboot") + '\0');
    c.send_result(2);
  });
  set_socket(peer.client_fd());
  EXPECT_EQ(SendAndRcv(CreateMsg(1)), 2);
}

TEST_F(ExchangeTest, InputReplyIsSentWholeOnANonBlockingSocket) {
  const std::string line(300000, 'x');
  testsupport::Peer peer([](PeerConn &c) {
    c.read_request();
    c.send_frame(REPLY_INPUT, std::string("big? ") + '\0');
    c.stall(50);  // the kernel takes the reply in pieces meanwhile
    c.read_input_reply();
    c.send_result(0);
  });
  install_hooks();
  hooks().input_answer = line;
  int fd = peer.client_fd();
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  set_socket(fd);
  pl::g_ctx.timeout = 5000;
  EXPECT_EQ(SendAndRcv(CreateMsg(1)), 0);
  peer.join();
  ASSERT_EQ(peer.input_replies().size(), 1u);
  EXPECT_EQ(peer.input_replies()[0], line + '\0');
}

TEST_F(ExchangeTest, InputReplyFailures) {
  testsupport::SyslogCapture cap;
  testsupport::Peer peer([](PeerConn &c) {
    c.read_request();
    c.send_frame(REPLY_INPUT, std::string("? ") + '\0');  // its reply cannot be allocated
    c.send_result(1);
    c.read_request();
    ::shutdown(c.fd(), SHUT_RD);                           // its reply cannot be sent
    c.send_frame(REPLY_INPUT, std::string("? ") + '\0');
    c.send_result(2);
  });
  set_socket(peer.client_fd());
  {
    MSG *m = CreateMsg(1);
    testsupport::AllocFailure fail(1);  // the exchange buffer, then nothing
    EXPECT_EQ(SendAndRcv(m), 1);
  }
  EXPECT_REPORT(cap, "line_input == NULL", "pam_lib", "get_input_line", 540);
  EXPECT_EQ(SendAndRcv(CreateMsg(1)), 2);
  EXPECT_REPORT(cap, "err == ERROR", "pam_lib", "get_input_line", 544);
}

TEST_F(ExchangeTest, UnknownFrameTypeIsPrintedAndPassedOver) {
  testsupport::Peer peer([](PeerConn &c) {
    c.read_request();
    c.send_frame(9, "xyz");
    c.send_frame(77, std::string(6000, 'z'));  // long body: dropped whole
    c.send_result(6);
  });
  set_socket(peer.client_fd());
  testsupport::FdCapture out(1);
  EXPECT_EQ(SendAndRcv(CreateMsg(1)), 6);
  EXPECT_EQ(out.finish(), "recieved bad header 9\nrecieved bad header 77\n");
}

TEST_F(ExchangeTest, StrayAndStaleFramesArePassedOver) {
  testsupport::Peer peer([](PeerConn &c) {
    c.read_request();
    testsupport::FrameHeader stale;
    stale.seq = c.seq() - 1;
    c.send_raw(testsupport::encode_frame(stale, ""));
    testsupport::FrameHeader bad_magic;
    bad_magic.seq = c.seq();
    bad_magic.magic = 0x12345678;
    c.send_raw(testsupport::encode_frame(bad_magic, ""));
    c.send_result(8, bytes_of(int32_t{64}));
  });
  set_socket(peer.client_fd());
  int32_t out = 0;
  EXPECT_EQ(SendAndRcv(small_call(1, &out)), 8);
  EXPECT_EQ(out, 64);
}

TEST_F(ExchangeTest, LongResultFrameKeepsTheConnectionInStep) {
  testsupport::Peer peer([](PeerConn &c) {
    c.read_request();
    std::string data = bytes_of(int32_t{11}) + std::string(5996, 'r');  // 6000 bytes
    // In pieces, so the first receive may return less than the items need.
    std::string frame = testsupport::make_frame(REPLY_RESULT, c.seq(), data, 1);
    c.send_raw(frame.substr(0, 50));
    c.stall(20);
    c.send_raw(frame.substr(50));
    c.read_request();
    c.send_result(2, bytes_of(int32_t{22}));
  });
  install_hooks();
  set_socket(peer.client_fd());
  int32_t out = 0;
  EXPECT_EQ(SendAndRcv(small_call(1, &out)), 1);
  EXPECT_EQ(out, 11);
  EXPECT_EQ(SendAndRcv(small_call(1, &out)), 2);
  EXPECT_EQ(out, 22);
  EXPECT_EQ(hooks().reconnects, 0);
}

TEST_F(ExchangeTest, TimeOutWhileWaitingForTheResult) {
  testsupport::SyslogCapture cap;
  testsupport::Peer peer([](PeerConn &c) {
    c.read_request();
    c.send_frame(REPLY_PRINT, "working");
    c.stall(2000);
  });
  install_hooks();
  set_socket(peer.client_fd());
  pl::g_ctx.timeout = 100;
  const uint32_t seq = pl::testing::next_sequence();
  EXPECT_EQ(SendAndRcv(CreateMsg(1)), -1);
  EXPECT_EQ(hooks().reconnects, 1);
  EXPECT_EQ(hooks().debug.back(), trace("%d:client-recieve failed %d\n", peer.client_fd(), seq));
  EXPECT_REPORT(cap, "len <=0", "pam_lib", "get_rcv_header", 459);
  EXPECT_REPORT(cap, "err == ERROR", "pam_lib", "get_rcv_buf", 485);
}

TEST_F(ExchangeTest, DaemonGoneGivesMinusOneNotSigpipe) {
  testsupport::Peer peer([](PeerConn &c) { c.close(); });
  peer.join();
  install_hooks();
  set_socket(peer.client_fd());
  EXPECT_EQ(SendAndRcv(CreateMsg(1)), -1);   // plain send: EPIPE
  pl::g_ctx.timeout = 200;
  testsupport::SyslogCapture cap;
  EXPECT_EQ(SendAndRcv(CreateMsg(1)), -1);   // timed send
  EXPECT_TRUE(cap.contains_substr("send fail " + std::to_string(EPIPE))) << cap.dump();
  EXPECT_EQ(hooks().reconnects, 2);
}

TEST_F(ExchangeTest, ConnectionClosedMidFrame) {
  testsupport::SyslogCapture cap;
  testsupport::Peer peer([](PeerConn &c) {
    c.read_request();
    std::string frame = testsupport::make_frame(REPLY_RESULT, c.seq(), std::string(100, 'd'));
    c.send_raw(frame.substr(0, 60));
    c.close();
  });
  install_hooks();
  set_socket(peer.client_fd());
  EXPECT_EQ(SendAndRcv(CreateMsg(1)), -1);
  EXPECT_REPORT(cap, "len <= 0", "pam_lib", "get_rcv_buf", 499);
  EXPECT_EQ(hooks().reconnects, 1);
}

TEST_F(ExchangeTest, EncodingAndAllocationFailures) {
  testsupport::SyslogCapture cap;
  testsupport::Peer peer([](PeerConn &) {});
  install_hooks();
  set_socket(peer.client_fd());
  const std::string big(4037, 'b');
  MSG *m = CreateMsg(1);
  AddStrToMsg(m, big.c_str());
  EXPECT_EQ(SendAndRcv(m), -1);
  EXPECT_REPORT(cap, "len + 3 + info->size > SERVER_BUFFER_SIZE", "pam_lib", "PrepareSendMsg", 272);
  EXPECT_REPORT(cap, "len == 0", "pam_lib", "SendAndRcvSocketWithTimeout", 600);
  m = CreateMsg(1);
  {
    testsupport::AllocFailure fail(0);
    EXPECT_EQ(SendAndRcv(m), -1);
  }
  EXPECT_REPORT(cap, "buf == NULL", "pam_lib", "SendAndRcvSocketWithTimeout", 598);
  EXPECT_EQ(hooks().reconnects, 2);
  peer.close_client();
  peer.join();
  EXPECT_TRUE(peer.requests().empty());  // nothing was sent
}

}  // namespace
}  // namespace exchange_test
