// Remote calls that read and write parameter values.
#include <cstring>

#include "pam_lib/remote_call.hpp"

namespace {
using namespace pl::remote;

constexpr CallDesc kSetParam{"DM_SetParam", 13, {}, 1021};
constexpr CallDesc kGetParam{"DM_GetParam", 14, {}, 1043};
constexpr CallDesc kIntSet{"DM_IntSet", 47, {}, 1062};
constexpr CallDesc kIntGet{"DM_IntGet", 48, {}, 1080};
constexpr CallDesc kBufferSet{"DM_BufferSet", 50, {}, 1099};
constexpr CallDesc kBufferGet{"DM_BufferGet", 53, {}, 1118};
}  // namespace

extern "C" {

PAM_LIB_API int DM_SetParam(const char *name, int len, const void *value, int flag) noexcept {
  // Length 0 means a string value, which travels with its NUL.
  int32_t size = len;
  if (len == 0 && value) size = static_cast<int32_t>(std::strlen(static_cast<const char *>(value))) + 1;
  return call(kSetParam, Str{name}, Int{len}, Bytes{size, value}, Int{flag});
}

PAM_LIB_API int DM_GetParam(const char *name, int len, void *buf, int flag) noexcept {
  return call(kGetParam, Str{name}, Int{len}, Out{len, buf}, Int{flag});
}

PAM_LIB_API int DM_IntSet(const char *name, int value, int flag) noexcept {
  return call(kIntSet, Str{name}, Int{value}, Int{flag});
}

PAM_LIB_API int DM_IntGet(const char *name, int *value, int flag) noexcept {
  return call(kIntGet, Str{name}, Out{4, value}, Int{flag});
}

PAM_LIB_API int DM_BufferSet(const char *name, int len, void *buf, int flag) noexcept {
  return call(kBufferSet, Str{name}, Int{len}, InOut{len, buf}, Int{flag});
}

PAM_LIB_API int DM_BufferGet(const char *name, int len, void *buf, int flag) noexcept {
  return call(kBufferGet, Str{name}, Int{len}, Out{len, buf}, Int{flag});
}

}  // extern "C"
