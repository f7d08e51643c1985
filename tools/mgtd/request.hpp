// Request-frame decoding and reply-frame building. The layouts are the
// library's own (MSG_HDR and REPLY_HDR in pam_lib.h); 32-bit words travel in
// the processor's byte order, item sizes high byte first.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "pam_lib.h"

namespace mgtd {

struct Item {
  int kind = 0;
  uint16_t size = 0;
  std::span<const uint8_t> data;  // the sent bytes; empty for ITEM_PTR/ITEM_STRPTR
};

struct Request {
  MSG_HDR hdr{};
  std::vector<Item> items;  // point into the decoded frame
};

enum class DecodeError {
  None,
  ShortFrame,     // fewer bytes than a header or than total_len
  BadHeader,      // hdr_len or magic wrong
  BadLength,      // total_len below 56, above 4096 or not a multiple of 4
  BadItemCount,   // below 0 or above MSG_MAX_ITEMS
  BadKind,        // an item kind outside 0..4
  TruncatedItem,  // an item runs past total_len
  TrailingBytes,  // more than 3 fill bytes after the items
};

const char *decode_error_text(DecodeError e);

// Checks the 56-byte header of a request: how many bytes the whole frame
// has comes from it, so a bad one ends the connection.
DecodeError decode_header(std::span<const uint8_t> bytes, MSG_HDR &hdr);

// Decodes one whole request frame. Never reads outside `frame`; on success
// the items point into it.
DecodeError decode_request(std::span<const uint8_t> frame, Request &req);

// A reply frame: 48-byte header plus data.
std::string reply_frame(int32_t type, uint32_t seq, int32_t status, int32_t result,
                        int32_t err, std::string_view data);

// Item helpers.
int32_t item_int(const Item &it);  // ITEM_INT value (4 bytes, processor order)
// A string item: present when it carries a NUL-terminated text that ends at
// its last byte.
bool item_str(const Item &it, std::string_view &out);

}  // namespace mgtd
