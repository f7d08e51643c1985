#include "pam_lib/message.hpp"

#include <cstring>

#include "common/alloc.hpp"
#include "common/log.hpp"
#include "pam_lib/context.hpp"
#include "util_linux.h"

namespace pl {

void AddItemToMsg(MSG *msg, int32_t kind, int32_t size, intptr_t value) noexcept {
  if (!msg) return;
  // Nothing is written past the ten-item array.
  if (msg->hdr.item_count < 0 || msg->hdr.item_count >= MSG_MAX_ITEMS) return;
  MSG_ITEM &item = msg->items[msg->hdr.item_count];
  item.kind = kind;
  item.size = size;
  item.value = value;
  ++msg->hdr.item_count;
}

}  // namespace pl

extern "C" {

PAM_LIB_API MSG *CreateMsg(uint32_t opcode) noexcept {
  auto *msg = static_cast<MSG *>(pl::alloc_zeroed(sizeof(MSG)));
  if (!msg) {
    pl::report("msg == NULL", "pam_lib", "CreateMsg", 117);
    return nullptr;
  }
  msg->hdr.hdr_len = MSG_HDR_LEN;
  msg->hdr.item_count = 0;
  msg->hdr.opcode = opcode;
  msg->hdr.privilege = pl::g_ctx.privilege;
  msg->hdr.uid = pl::g_ctx.uid;
  msg->hdr.client_id = pl::g_ctx.client_id;
  msg->hdr.priority = util_GetCurThreadPriority();
  msg->hdr.magic = MSG_MAGIC;
  return msg;
}

PAM_LIB_API void AddIntToMsg(MSG *msg, int32_t value) noexcept {
  pl::AddItemToMsg(msg, ITEM_INT, 4, value);
}

PAM_LIB_API void AddStrToMsg(MSG *msg, const char *str) noexcept {
  int32_t size = str ? static_cast<int32_t>(std::strlen(str)) + 1 : 0;
  pl::AddItemToMsg(msg, ITEM_CARRAY, size, reinterpret_cast<intptr_t>(str));
}

PAM_LIB_API void AddArrayToMsg(MSG *msg, int32_t size, void *buf) noexcept {
  pl::AddItemToMsg(msg, ITEM_ARRAY, size, reinterpret_cast<intptr_t>(buf));
}

PAM_LIB_API void AddCArrayToMsg(MSG *msg, int32_t size, const void *buf) noexcept {
  pl::AddItemToMsg(msg, ITEM_CARRAY, size, reinterpret_cast<intptr_t>(buf));
}

PAM_LIB_API void AddPtrToMsg(MSG *msg, int32_t size, void *buf) noexcept {
  pl::AddItemToMsg(msg, ITEM_PTR, size, reinterpret_cast<intptr_t>(buf));
}

PAM_LIB_API void AddStrPtrToMsg(MSG *msg, int32_t size, char *buf) noexcept {
  pl::AddItemToMsg(msg, ITEM_STRPTR, size, reinterpret_cast<intptr_t>(buf));
}

PAM_LIB_API int is_ascii_7(const char *str) noexcept {
  if (!str) return 1;
  for (const auto *p = reinterpret_cast<const unsigned char *>(str); *p; ++p)
    if (*p >= 0x80) return 0;
  return 1;
}

}  // extern "C"
