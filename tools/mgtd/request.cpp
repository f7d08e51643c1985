#include "request.hpp"

#include <cstring>

namespace mgtd {

const char *decode_error_text(DecodeError e) {
  switch (e) {
    case DecodeError::None: return "ok";
    case DecodeError::ShortFrame: return "short frame";
    case DecodeError::BadHeader: return "bad header length or magic";
    case DecodeError::BadLength: return "bad total length";
    case DecodeError::BadItemCount: return "bad item count";
    case DecodeError::BadKind: return "bad item kind";
    case DecodeError::TruncatedItem: return "item runs past the frame";
    case DecodeError::TrailingBytes: return "bytes after the items";
  }
  return "?";
}

DecodeError decode_header(std::span<const uint8_t> bytes, MSG_HDR &hdr) {
  if (bytes.size() < sizeof(MSG_HDR)) return DecodeError::ShortFrame;
  std::memcpy(&hdr, bytes.data(), sizeof(MSG_HDR));
  if (hdr.hdr_len != MSG_HDR_LEN || hdr.magic != MSG_MAGIC) return DecodeError::BadHeader;
  if (hdr.total_len < MSG_HDR_LEN || hdr.total_len > SERVER_BUFFER_SIZE || hdr.total_len % 4)
    return DecodeError::BadLength;
  if (hdr.item_count < 0 || hdr.item_count > MSG_MAX_ITEMS) return DecodeError::BadItemCount;
  return DecodeError::None;
}

DecodeError decode_request(std::span<const uint8_t> frame, Request &req) {
  req.items.clear();
  if (DecodeError e = decode_header(frame, req.hdr); e != DecodeError::None) return e;
  if (frame.size() < req.hdr.total_len) return DecodeError::ShortFrame;
  std::size_t pos = MSG_HDR_LEN;
  const std::size_t end = req.hdr.total_len;
  for (int i = 0; i < req.hdr.item_count; ++i) {
    if (end - pos < 3) return DecodeError::TruncatedItem;
    Item it;
    it.kind = frame[pos];
    it.size = static_cast<uint16_t>(frame[pos + 1] << 8 | frame[pos + 2]);
    pos += 3;
    if (it.kind < ITEM_INT || it.kind > ITEM_STRPTR) return DecodeError::BadKind;
    if (it.kind == ITEM_INT || it.kind == ITEM_ARRAY || it.kind == ITEM_CARRAY) {
      if (end - pos < it.size) return DecodeError::TruncatedItem;
      it.data = frame.subspan(pos, it.size);
      pos += it.size;
    }
    req.items.push_back(it);
  }
  if (end - pos > 3) return DecodeError::TrailingBytes;
  return DecodeError::None;
}

std::string reply_frame(int32_t type, uint32_t seq, int32_t status, int32_t result,
                        int32_t err, std::string_view data) {
  REPLY_HDR h{};
  h.type = type;
  h.magic = MSG_MAGIC;
  h.seq = seq;
  h.data_len = static_cast<int32_t>(data.size());
  h.status = status;
  h.result = result;
  h.err = err;
  std::string out(sizeof h, '\0');
  std::memcpy(out.data(), &h, sizeof h);
  out.append(data);
  return out;
}

int32_t item_int(const Item &it) {
  int32_t v = 0;
  if (it.data.size() == 4) std::memcpy(&v, it.data.data(), 4);
  return v;
}

bool item_str(const Item &it, std::string_view &out) {
  if (it.data.empty() || it.data.back() != 0) return false;
  out = std::string_view(reinterpret_cast<const char *>(it.data.data()), it.data.size() - 1);
  return out.find('\0') == std::string_view::npos;
}

}  // namespace mgtd
