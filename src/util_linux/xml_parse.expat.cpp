// Record-oriented XML parsing with expat: the caller names a record element
// and its field elements and is called back once per record with the texts.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <expat.h>
#include <memory>
#include <new>
#include <type_traits>

#include "common/alloc.hpp"
#include "common/log.hpp"
#include "common/raii.hpp"
#include "util_linux.h"

// expat comes from the host process, and a host that never parses XML does
// not link it: in the shared library, weak references let such a host link
// and run with -lpam_lib alone, and the parser then fails instead of
// jumping to null.
#if defined(PAM_LIB_WEAK_HOST_LIBS)
#pragma weak XML_ParserCreate
#pragma weak XML_ParserFree
#pragma weak XML_UseParserAsHandlerArg
#pragma weak XML_SetElementHandler
#pragma weak XML_SetCharacterDataHandler
#pragma weak XML_SetUserData
#pragma weak XML_Parse
#pragma weak XML_StopParser
#pragma weak XML_GetCurrentLineNumber
#pragma weak XML_GetErrorCode
#pragma weak XML_ErrorString
#endif

namespace pl {
namespace {

constexpr const char *kModule = "util_linux";
constexpr const char *kFunction = "expat_XMLParse";
constexpr std::size_t kReadSize = 1000;

// The public context comes first so that the pointer the record callback
// sees is the start of the allocation; the rest is bookkeeping of this file.
struct ParseState {
  XmlParseCtx ctx;
  int record_depth;  // record elements open around the current position
  bool overflow;     // a record did not fit the text buffer
};
static_assert(std::is_standard_layout_v<ParseState>);

bool expat_linked() noexcept {
#if !defined(PAM_LIB_WEAK_HOST_LIBS)
  return true;
#else
  return XML_ParserCreate && XML_ParserFree && XML_UseParserAsHandlerArg && XML_SetElementHandler &&
         XML_SetCharacterDataHandler && XML_SetUserData && XML_Parse && XML_StopParser &&
         XML_GetCurrentLineNumber && XML_GetErrorCode && XML_ErrorString;
#endif
}

ParseState *state_of(void *parser) noexcept {
  return static_cast<ParseState *>(XML_GetUserData(static_cast<XML_Parser>(parser)));
}

// Appends to the text buffer, never past its end. A record that does not fit
// stops the parse; outside every record the bytes can reach no callback (the
// next record start rewinds the buffer), so they are dropped instead.
bool append_text(void *parser, ParseState *st, const char *bytes, std::size_t len) noexcept {
  XmlParseCtx &c = st->ctx;
  std::size_t room = static_cast<std::size_t>(c.text_buffer + XML_PARSE_TEXT_BUFFER_SIZE - c.cursor);
  if (len <= room) {
    std::memcpy(c.cursor, bytes, len);
    c.cursor += len;
    return true;
  }
  if (st->record_depth > 0 && !st->overflow) {
    st->overflow = true;
    XML_StopParser(static_cast<XML_Parser>(parser), XML_FALSE);
  }
  return false;
}

void start_hndl(void *parser, const XML_Char *name, const XML_Char ** /*atts*/) noexcept {
  ParseState *st = state_of(parser);
  XmlParseCtx &c = st->ctx;
  if (st->overflow) return;
  if (std::strcmp(name, c.record_name) == 0) {
    ++st->record_depth;
    c.cursor = c.text_buffer;
    for (int32_t i = 0; i < c.field_count; ++i) c.field_values[i] = nullptr;
    return;
  }
  if (!c.cursor) return;
  int32_t i = util_FindStrInArray(name, c.field_names, c.field_count);
  if (i >= 0) {
    c.in_field = 1;
    c.field_values[i] = c.cursor;
  }
}

void end_hndl(void *parser, const XML_Char *name) noexcept {
  ParseState *st = state_of(parser);
  XmlParseCtx &c = st->ctx;
  if (st->overflow) return;
  if (std::strcmp(name, c.record_name) == 0) {
    if (st->record_depth > 0) --st->record_depth;
    if (c.record_callback) c.record_callback(&c, c.cb_arg);
    return;
  }
  if (!c.cursor) return;
  static const char nul = '\0';
  append_text(parser, st, &nul, 1);
  c.in_field = 0;
}

}  // namespace
}  // namespace pl

extern "C" {

PAM_LIB_API void char_hndl(void *parser, const char *text, int len) noexcept {
  pl::ParseState *st = pl::state_of(parser);
  XmlParseCtx &c = st->ctx;
  if (st->overflow || !c.in_field || !c.cursor || len <= 0) return;
  pl::append_text(parser, st, text, static_cast<std::size_t>(len));
}

PAM_LIB_API int expat_XMLParse(const char *file, const char *const *names, int count, const char *record,
                               XmlRecordCallback callback, uintptr_t arg) noexcept {
  using namespace pl;
  if (!file || !record || count < 0 || (count > 0 && !names)) return -1;
  if (!expat_linked()) {
    log_msg(LOG_ERR, "(%s) %s:: expat is not linked into this program: cannot parse '%s'", kModule, kFunction, file);
    return -1;
  }

  UniqueFile fp(std::fopen(file, "r"));
  if (!fp) {
    log_msg(LOG_ERR, "(%s) %s:: can't open file '%s'for parsing: %m", kModule, kFunction, file);
    return -1;
  }

  // One block: the state, the text buffer, then the field pointers.
  const std::size_t values_off =
      (sizeof(ParseState) + XML_PARSE_TEXT_BUFFER_SIZE + alignof(char *) - 1) / alignof(char *) * alignof(char *);
  MallocPtr<unsigned char> block(
      static_cast<unsigned char *>(alloc(values_off + static_cast<std::size_t>(count) * sizeof(char *))));
  if (!block) {
    errno = ENOMEM;
    log_msg(LOG_ERR, "(%s) %s:: can't allocate buffer for XML file '%s' parsing: %m", kModule, kFunction, file);
    return -1;
  }
  auto *st = new (block.get()) ParseState{};
  XmlParseCtx &c = st->ctx;
  c.text_buffer = reinterpret_cast<char *>(block.get() + sizeof(ParseState));
  c.cursor = nullptr;
  c.field_values = reinterpret_cast<char **>(block.get() + values_off);
  for (int i = 0; i < count; ++i) c.field_values[i] = nullptr;
  c.field_names = names;
  c.record_name = record;
  c.field_count = count;
  c.in_field = 0;
  c.cb_arg = arg;
  c.record_callback = callback;
  c.error = 0;

  struct ParserFree {
    void operator()(XML_ParserStruct *p) const noexcept { XML_ParserFree(p); }
  };
  std::unique_ptr<XML_ParserStruct, ParserFree> parser(XML_ParserCreate(nullptr));
  MallocPtr<char> buf(static_cast<char *>(alloc(kReadSize)));
  if (!parser || !buf) {
    errno = ENOMEM;
    log_msg(LOG_ERR, "(%s) %s:: can't create XML parser for file '%s': %m", kModule, kFunction, file);
    return -1;
  }
  XML_UseParserAsHandlerArg(parser.get());
  XML_SetElementHandler(parser.get(), start_hndl, end_hndl);
  XML_SetCharacterDataHandler(parser.get(), char_hndl);
  XML_SetUserData(parser.get(), st);

  int result = 0;
  for (;;) {
    std::size_t n = std::fread(buf.get(), 1, kReadSize, fp.get());
    bool final_piece = n < kReadSize;
    if (XML_Parse(parser.get(), buf.get(), static_cast<int>(n), final_piece) == XML_STATUS_ERROR) {
      result = -1;
      int line = static_cast<int>(XML_GetCurrentLineNumber(parser.get()));
      if (st->overflow)
        log_msg(LOG_ERR, "(%s) %s:: file '%s' line %d XML record does not fit the %d-byte text buffer", kModule,
                kFunction, file, line, XML_PARSE_TEXT_BUFFER_SIZE);
      else
        log_msg(LOG_ERR, "(%s) %s:: file '%s' line %d XML parsing error : %s", kModule, kFunction, file, line,
                XML_ErrorString(XML_GetErrorCode(parser.get())));
      break;
    }
    if (final_piece) break;
  }
  result |= c.error;
  return result;
}

}  // extern "C"
