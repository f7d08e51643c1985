// Descriptors: an exchange on a socket numbered above 1024 (beyond what
// select could watch), and a host that has used up its descriptors.
#include <cerrno>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common.hpp"
#include "pam_lib/transport.hpp"

namespace faults {
namespace {

using testsupport::bytes_of;
using testsupport::PeerConn;

// A daemon that streams a long XML frame and asks for input before it
// answers 4 with the integer 44.
testsupport::Peer::Script long_reply(const std::string &xml) {
  return [xml](PeerConn &c) {
    if (!c.read_request()) return;
    c.send_frame(REPLY_XML, xml);
    c.send_frame(REPLY_INPUT, std::string("name? ") + '\0');
    c.read_input_reply();
    c.send_result(4, bytes_of(int32_t{44}));
  };
}

int call(int32_t *out) {
  MSG *m = CreateMsg(26);
  AddIntToMsg(m, 1);
  AddPtrToMsg(m, 4, out);
  return SendAndRcv(m);
}

TEST_F(FaultTest, ExchangeOnASocketAbove1024) {
  rlimit lim{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &lim), 0);
  const rlimit saved = lim;
  if (lim.rlim_cur < 2048) {
    lim.rlim_cur = lim.rlim_max < 2048 ? lim.rlim_max : 2048;
    setrlimit(RLIMIT_NOFILE, &lim);
  }
  if (lim.rlim_cur < 1600) GTEST_SKIP() << "cannot raise RLIMIT_NOFILE above 1600 (hard limit "
                                        << lim.rlim_max << ")";
  const std::string xml(10000, 'x');
  for (int timeout : {0, 500}) {
    SCOPED_TRACE(timeout);
    pl::g_ctx.timeout = timeout;
    counts().inputs = 0;
    testsupport::Peer peer(long_reply(xml));
    const int high = 1500 + timeout;
    ASSERT_EQ(dup2(peer.client_fd(), high), high);
    set_socket(high);
    int32_t out = 0;
    EXPECT_EQ(call(&out), 4);
    EXPECT_EQ(out, 44);
    EXPECT_EQ(counts().inputs, 1);
    EXPECT_EQ(testsupport::read_file(GetXMLFileName()), xml);
    peer.join();
    ASSERT_EQ(peer.input_replies().size(), 1u);
    EXPECT_EQ(peer.input_replies()[0], std::string("yes") + '\0');
    close(high);
  }
  setrlimit(RLIMIT_NOFILE, &saved);
}

// Holds every free descriptor (below a lowered soft limit) while alive.
class DescriptorsUsedUp {
 public:
  DescriptorsUsedUp() {
    getrlimit(RLIMIT_NOFILE, &saved_);
    rlimit low = saved_;
    low.rlim_cur = 256;
    setrlimit(RLIMIT_NOFILE, &low);
    for (;;) {
      int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
      if (fd < 0) break;
      held_.push_back(fd);
    }
  }
  ~DescriptorsUsedUp() {
    for (int fd : held_) close(fd);
    setrlimit(RLIMIT_NOFILE, &saved_);
  }

 private:
  rlimit saved_{};
  std::vector<int> held_;
};

// valgrind keeps descriptors of its own near the limit and checks the limit
// itself, so a host cannot use them all up the same way.
bool under_valgrind() {
  return testsupport::read_file("/proc/self/maps").find("vgpreload") != std::string::npos;
}

TEST_F(FaultTest, HostOutOfDescriptors) {
  if (under_valgrind()) GTEST_SKIP() << "valgrind manages the descriptor limit itself";
  pl::g_ctx.timeout = 500;
  const std::string xml = "<config/>";
  testsupport::Peer peer(long_reply(xml));  // its thread and sockets first
  set_socket(peer.client_fd());
  const std::string xml_file = GetXMLFileName();
  testsupport::SyslogCapture cap;
  int32_t out = 0;
  int r;
  {
    DescriptorsUsedUp full;
    ASSERT_EQ(open("/dev/null", O_RDONLY), -1);
    ASSERT_EQ(errno, EMFILE);
    // No connection can be made, and each way says why.
    EXPECT_EQ(client_Init(), ERROR);
    EXPECT_REPORT(cap, "client_sock == -1", "pam_lib", "client_open_sock", 800);
    EXPECT_EQ(client_Init_with_timeout(100), ERROR);
    EXPECT_REPORT(cap, "sock == -1", "pam_lib", "client_Init_with_timeout", 841);
    EXPECT_EQ(client_Init_External("127.0.0.1", 100), ERROR);
    EXPECT_REPORT(cap, "client_sock == -1", "pam_lib", "client_Init_External", 753);
    // An exchange on the open connection still completes: the XML file
    // cannot be opened, so its chunk is dropped.
    r = call(&out);
  }
  EXPECT_EQ(r, 4);
  EXPECT_EQ(out, 44);
  EXPECT_EQ(counts().reconnects, 0);
  EXPECT_FALSE(testsupport::file_exists(xml_file));
}

}  // namespace
}  // namespace faults
