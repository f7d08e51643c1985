// Every allocation of the exchange, the remote calls, the database and the
// session table failing in turn: each path reports as written, returns its
// failure value or the right result, and leaks nothing (the sanitizer run
// checks the leaks).
#include <cstring>
#include <string>

#include "common.hpp"
#include "database.h"

namespace faults {
namespace {

using testsupport::bytes_of;
using testsupport::PeerConn;
using testsupport::SyslogCapture;

// A daemon that makes the client print, read input, stream XML and run a
// command before it answers 7 with one integer. An input reply that never
// comes (its allocation failed) is waited for briefly, then the call is
// answered anyway.
testsupport::Peer::Script busy_daemon() {
  return [](PeerConn &c) {
    auto req = c.read_request();
    if (!req) return;
    c.send_frame(REPLY_PRINT, "line\n");
    c.send_frame(REPLY_INPUT, std::string("Continue? ") + '\0');
    c.read_input_reply();
    c.send_frame(REPLY_XML, "<a/>");
    c.send_frame(REPLY_RUN_CMD, std::string("true") + '\0');
    c.send_frame(REPLY_PRINT_END, "");
    c.send_result(7, bytes_of(int32_t{99}));
  };
}

TEST_F(FaultTest, ExchangeSurvivesEveryAllocationFailure) {
  int answered = 0, failed_calls = 0;
  const int tried = sweep_allocations([&](long k) {
    testsupport::Peer peer(busy_daemon(), 300);
    set_socket(peer.client_fd());
    counts().reconnects = 0;
    SyslogCapture cap;
    int32_t out = 0;
    MSG *msg = CreateMsg(26);
    if (!msg) {
      EXPECT_EQ(k, 0);
      EXPECT_REPORT(cap, "msg == NULL", "pam_lib", "CreateMsg", 117);
      return;
    }
    AddPtrToMsg(msg, 4, &out);
    int r = SendAndRcv(msg);
    if (r == ERROR) {
      ++failed_calls;
      EXPECT_EQ(counts().reconnects, 1) << "k=" << k;
      EXPECT_REPORT(cap, "buf == NULL", "pam_lib", "SendAndRcvSocketWithTimeout", 598);
    } else {
      ++answered;
      EXPECT_EQ(r, 7) << "k=" << k;
      EXPECT_EQ(out, 99);
      EXPECT_EQ(counts().reconnects, 0);
      if (k == 2) {
        EXPECT_REPORT(cap, "line_input == NULL", "pam_lib", "get_input_line", 540);
      }
    }
  });
  EXPECT_EQ(tried, 3);  // the message, the exchange buffer, the input reply
  EXPECT_EQ(failed_calls, 1);
  EXPECT_EQ(answered, 2);  // input reply lost, and no failure at all
}

// A remote call and what a daemon answers to it.
struct RemoteCase {
  const char *name;
  int (*call)(char *text, int32_t *num);
  int expect;
};

const RemoteCase kRemoteCases[] = {
    {"DM_GetEntityName", [](char *t, int32_t *) { return DM_GetEntityName(4, t); }, 0},
    {"DM_GetParam", [](char *t, int32_t *) { return DM_GetParam("system.hostname", 8, t, 0); }, 0},
    {"DM_IntGet", [](char *, int32_t *n) { return DM_IntGet("system.mtu", n, 0); }, 0},
    {"CMD_ExecCommand", [](char *, int32_t *) { return CMD_ExecCommand(1, "ping", "count 2"); }, 0},
    {"DM_GetUserCred", [](char *t, int32_t *) { return DM_GetUserCred("admin", 8, t); }, 0},
    {"DM_SetParam", [](char *, int32_t *) { return DM_SetParam("system.location", 0, "lab", 0); }, 0},
};

TEST_F(FaultTest, RemoteCallsSurviveEveryAllocationFailure) {
  int total = 0;
  for (const RemoteCase &rc : kRemoteCases) {
    SCOPED_TRACE(rc.name);
    int answered = 0;
    total += sweep_allocations([&](long k) {
      // Out items of every call are answered with zero bytes of the size the
      // request declared, so one daemon fits all of them.
      testsupport::Peer peer(testsupport::Peer::serve([](const testsupport::Request &r) {
        std::string data;
        for (auto &it : r.items)
          if (it.kind == ITEM_PTR || it.kind == ITEM_ARRAY) data.append(it.size, 'x');
          else if (it.kind == ITEM_STRPTR) data.append("ok", 3);
        return testsupport::Result{.result = 0, .data = data};
      }));
      set_socket(peer.client_fd());
      counts().reconnects = 0;
      SyslogCapture cap;
      char text[DM_TEXT_SIZE] = {};
      int32_t num = 0;
      int r = rc.call(text, &num);
      if (r == ERROR) {
        if (k == 0) {
          EXPECT_REPORT(cap, "msg == NULL", "pam_lib", "CreateMsg", 117);
          EXPECT_TRUE(cap.contains_substr(std::string("(\"msg == NULL\") in pam_lib at ") + rc.name))
              << cap.dump();
          EXPECT_EQ(counts().reconnects, 0);  // nothing was sent
        } else {
          EXPECT_REPORT(cap, "buf == NULL", "pam_lib", "SendAndRcvSocketWithTimeout", 598);
          EXPECT_EQ(counts().reconnects, 1);
        }
        peer.close_client();
        peer.join();
        EXPECT_TRUE(peer.requests().empty());
      } else {
        ++answered;
        EXPECT_EQ(r, rc.expect);
      }
    });
    EXPECT_EQ(answered, 1);
  }
  EXPECT_EQ(total, 2 * static_cast<int>(std::size(kRemoteCases)));
}

int count_value(void *, void *arg) {
  ++*static_cast<int *>(arg);
  return 0;
}

TEST_F(FaultTest, DatabaseSurvivesEveryAllocationFailure) {
  int created = 0;
  const int tried = sweep_allocations([&](long) {
    SyslogCapture cap;
    DB *db = DB_Create(8);
    if (!db) {
      EXPECT_REPORT(cap, "db == NULL", "database", "DB_Create", 85);
      return;
    }
    ++created;
    // Adds with and without keys; a failed add leaves the table as it was.
    static int values[40];
    int stored = 0;
    for (int i = 0; i < 40; ++i) {
      const std::string key = "user" + std::to_string(i);
      const int before = DB_GetCount(db);
      if (DB_Add(db, i % 2 ? key.c_str() : nullptr, i, &values[i]) == 0) {
        ++stored;
        EXPECT_EQ(DB_GetCount(db), before + 1);
        void *found = nullptr;
        EXPECT_EQ(DB_Find(db, i % 2 ? key.c_str() : nullptr, i, &found), 0);
        EXPECT_EQ(found, &values[i]);
      } else {
        EXPECT_EQ(DB_GetCount(db), before);
        EXPECT_NE(DB_Find(db, i % 2 ? key.c_str() : nullptr, i, nullptr), 0);
      }
    }
    EXPECT_EQ(DB_GetCount(db), stored);
    int walked = 0;
    EXPECT_EQ(DB_Iterator(db, count_value, &walked), 0);
    EXPECT_EQ(walked, stored);
    if (stored) {
      EXPECT_EQ(DB_Delete(db, nullptr, 0), 0);
    }
    DB_Destroy(db, nullptr, nullptr);
  });
  EXPECT_EQ(tried, 41);  // the table, then each of the 40 entries
  EXPECT_EQ(created, 41);
}

}  // namespace
}  // namespace faults
