// The one shape every remote call has: optional NULL guards, a message with
// the call's opcode (and, for three calls, a fixed header privilege), the
// items in the daemon's order, then SendAndRcv. Each exported call is a
// single line that names its description and its items.
#pragma once

#include <cstdint>
#include <optional>

#include "common/log.hpp"
#include "pam_lib.h"
#include "pam_lib/message.hpp"

namespace pl::remote {

// A NULL argument that the call refuses before any message exists.
struct GuardDesc {
  const char *cond;  // reported text, e.g. "user == NULL"
  int line;          // report number
};

struct CallDesc {
  const char *name;                   // the exported name, used in reports
  uint32_t opcode;
  std::optional<int32_t> privilege;   // fixed header privilege, else context's
  int line;                           // report number of "msg == NULL"
  GuardDesc guards[2] = {};
};

// Item shapes, named after their direction.
struct Int { int32_t value; };                        // ITEM_INT
struct Str { const char *str; };                      // ITEM_CARRAY, strlen + 1
struct Bytes { int32_t size; const void *buf; };      // ITEM_CARRAY
struct InOut { int32_t size; void *buf; };            // ITEM_ARRAY
struct Out { int32_t size; void *buf; };              // ITEM_PTR
struct OutStr { int32_t size; char *buf; };           // ITEM_STRPTR

inline void add(MSG *m, Int i) noexcept { AddIntToMsg(m, i.value); }
inline void add(MSG *m, Str s) noexcept { AddStrToMsg(m, s.str); }
inline void add(MSG *m, Bytes b) noexcept { AddCArrayToMsg(m, b.size, b.buf); }
inline void add(MSG *m, InOut b) noexcept { AddArrayToMsg(m, b.size, b.buf); }
inline void add(MSG *m, Out b) noexcept { AddPtrToMsg(m, b.size, b.buf); }
inline void add(MSG *m, OutStr b) noexcept { AddStrPtrToMsg(m, b.size, b.buf); }

template <typename... Items>
int call(const CallDesc &d, Items... items) noexcept {
  static_assert(sizeof...(Items) <= 5, "no remote call sends more than five items");
  MSG *msg = CreateMsg(d.opcode);
  if (!msg) {
    report("msg == NULL", "pam_lib", d.name, d.line);
    return ERROR;
  }
  if (d.privilege) msg->hdr.privilege = *d.privilege;
  (add(msg, items), ...);
  return SendAndRcv(msg);
}

// As call(), after refusing NULL arguments in the description's order; only
// the first failing guard is reported.
template <std::size_t N, typename... Items>
int guarded_call(const CallDesc &d, const void *const (&checked)[N], Items... items) noexcept {
  static_assert(N <= 2);
  for (std::size_t i = 0; i < N; ++i) {
    if (!checked[i]) {
      report(d.guards[i].cond, "pam_lib", d.name, d.guards[i].line);
      return ERROR;
    }
  }
  return call(d, items...);
}

}  // namespace pl::remote
