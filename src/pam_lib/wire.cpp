#include "pam_lib/wire.hpp"

#include <cstring>

#include "common/log.hpp"
#include "pam_lib/context.hpp"

namespace pl {
namespace {

void put_item_head(unsigned char *at, int32_t kind, int32_t size) noexcept {
  at[0] = static_cast<unsigned char>(kind);
  at[1] = static_cast<unsigned char>((static_cast<uint32_t>(size) >> 8) & 0xFF);
  at[2] = static_cast<unsigned char>(static_cast<uint32_t>(size) & 0xFF);
}

}  // namespace

int PrepareSendMsg(MSG *msg, unsigned char *buf, uint32_t seq) noexcept {
  if (!msg || !buf) return 0;
  msg->hdr.seq = seq;
  int len = MSG_HDR_LEN;
  const int count = msg->hdr.item_count < 0 ? 0
                  : msg->hdr.item_count > MSG_MAX_ITEMS ? MSG_MAX_ITEMS
                                                        : msg->hdr.item_count;
  for (int i = 0; i < count; ++i) {
    const MSG_ITEM *info = &msg->items[i];
    switch (info->kind) {
      case ITEM_INT:
      case ITEM_ARRAY:
      case ITEM_CARRAY: {
        const int line = info->kind == ITEM_INT ? 262 : 272;
        // A negative size is as unsendable as an oversized one.
        if (info->size < 0 || len + kItemHeadLen + info->size > SERVER_BUFFER_SIZE) {
          report("len + 3 + info->size > SERVER_BUFFER_SIZE", "pam_lib", "PrepareSendMsg", line);
          return 0;
        }
        put_item_head(buf + len, info->kind, info->size);
        unsigned char *data = buf + len + kItemHeadLen;
        if (info->kind == ITEM_INT) {
          // The integer itself, in the processor's order, padded or cut to
          // the declared size (always 4 from AddIntToMsg).
          int32_t v = static_cast<int32_t>(info->value);
          std::memset(data, 0, static_cast<size_t>(info->size));
          std::memcpy(data, &v, static_cast<size_t>(info->size < 4 ? info->size : 4));
        } else if (info->size > 0) {
          const void *src = reinterpret_cast<const void *>(info->value);
          if (!src) return 0;  // nothing to read the declared bytes from
          std::memcpy(data, src, static_cast<size_t>(info->size));
        }
        len += kItemHeadLen + info->size;
        break;
      }
      case ITEM_PTR:
      case ITEM_STRPTR:
        if (len + kItemHeadLen > SERVER_BUFFER_SIZE) {
          report("len + 3 > SERVER_BUFFER_SIZE", "pam_lib", "PrepareSendMsg", 282);
          return 0;
        }
        put_item_head(buf + len, info->kind, info->size);
        len += kItemHeadLen;
        break;
      default:
        break;  // unknown kinds are not sent
    }
  }
  const int total = (len + 3) & ~3;
  std::memset(buf + len, 0, static_cast<size_t>(total - len));  // fill bytes
  msg->hdr.total_len = static_cast<uint32_t>(total);
  std::memcpy(buf, &msg->hdr, MSG_HDR_LEN);
  return total;
}

int RetrieveParams(MSG *msg, const unsigned char *data, int data_len) noexcept {
  if (!msg) return ERROR;
  if (data_len < 0 || (!data && data_len > 0)) return ERROR;
  int off = 0;
  const int count = msg->hdr.item_count < 0 ? 0
                  : msg->hdr.item_count > MSG_MAX_ITEMS ? MSG_MAX_ITEMS
                                                        : msg->hdr.item_count;
  for (int i = 0; i < count; ++i) {
    MSG_ITEM *info = &msg->items[i];
    int take;
    if (info->kind == ITEM_ARRAY || info->kind == ITEM_PTR) {
      if (info->size < 0 || info->size > data_len - off) return ERROR;
      take = info->size;
    } else if (info->kind == ITEM_STRPTR) {
      const void *nul = off < data_len
          ? std::memchr(data + off, '\0', static_cast<size_t>(data_len - off)) : nullptr;
      if (!nul) return ERROR;  // the string must end inside the data
      int tmp = static_cast<int>(static_cast<const unsigned char *>(nul) - (data + off)) + 1;
      if (info->size < tmp) {
        report("info->size < tmp", "pam_lib", "RetrieveParams", 322);
        return ERROR;
      }
      take = tmp;
    } else {
      continue;
    }
    if (void *dst = reinterpret_cast<void *>(info->value); dst && take > 0)
      std::memcpy(dst, data + off, static_cast<size_t>(take));
    off += take;
  }
  return 0;
}

int handle_cmd_result(REPLY *frame, MSG *msg) noexcept {
  if (!frame) return ERROR;
  g_ctx.err = frame->hdr.err;
  if (frame->hdr.status != 0) {
    log_msg(LOG_ERR, "invoke error:%d", frame->hdr.status);
    return ERROR;
  }
  if (frame->hdr.result == ERROR) return ERROR;
  int chunk = frame->hdr.chunk_len;
  if (chunk > SERVER_BUFFER_SIZE) chunk = SERVER_BUFFER_SIZE;
  int err = RetrieveParams(msg, reinterpret_cast<const unsigned char *>(frame->data), chunk);
  if (err == ERROR) {
    report("err == ERROR", "pam_lib", "handle_cmd_result", 350);
    return ERROR;
  }
  return frame->hdr.result;
}

}  // namespace pl
