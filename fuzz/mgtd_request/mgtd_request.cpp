// The reference daemon's side of a connection: the input is request frames,
// one after the other, as they arrive on one connection. Each header is checked
// as the connection does, the frame decoded, and a decoded request served
// against a fresh copy of the example model, so every operation (and the
// walks that span requests) sees fuzzed items. Replies are
// checked for well-formed framing and then dropped.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <string>

#include "../common/fuzz_support.hpp"
#include "model.hpp"
#include "request.hpp"
#include "service.hpp"

namespace {

class NullIo : public mgtd::Io {
 public:
  bool send(std::string_view frame) override {
    REPLY_HDR h;
    if (frame.size() < sizeof h) __builtin_trap();
    std::memcpy(&h, frame.data(), sizeof h);
    if (h.magic != MSG_MAGIC || h.data_len < 0 ||
        static_cast<size_t>(h.data_len) != frame.size() - sizeof h)
      __builtin_trap();
    if (h.type == REPLY_RESULT) ++results;
    return true;
  }
  bool read_input(std::string &line) override {
    line = "y";
    return true;
  }
  int results = 0;
};

const mgtd::Model &prototype() {
  static const mgtd::Model m = [] {
    std::string error;
    auto loaded = mgtd::load_model(MGTD_MODEL_FILE, error);
    if (!loaded) std::abort();
    return std::move(*loaded);
  }();
  return m;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::span<const uint8_t> bytes(data, size);
  mgtd::State st(prototype());
  mgtd::Session ss;  // one connection: walks continue across its requests
  for (int n = 0; n < 16; ++n) {
    MSG_HDR hdr;
    // A bad header ends the connection; so does a frame cut short.
    if (mgtd::decode_header(bytes, hdr) != mgtd::DecodeError::None) break;
    if (bytes.size() < hdr.total_len) break;
    mgtd::Request req;
    auto frame = bytes.first(hdr.total_len);
    bytes = bytes.subspan(hdr.total_len);
    if (mgtd::decode_request(frame, req) != mgtd::DecodeError::None) continue;
    for (const mgtd::Item &it : req.items) {
      std::string_view s;
      (void)mgtd::item_int(it);
      (void)mgtd::item_str(it, s);
    }
    NullIo io;
    mgtd::serve(st, ss, io, req);
    if (io.results != 1) __builtin_trap();  // exactly one result per request
  }
  return 0;
}
