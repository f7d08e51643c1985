// Remote calls over the entity tree, parameter walks and parameter metadata.
// The Next calls send no name and no position: the daemon keeps the walk.
#include "pam_lib/remote_call.hpp"

namespace {
using namespace pl::remote;

constexpr CallDesc kEntityFind{"DM_EntityFind", 4, {}, 1512};
constexpr CallDesc kGetEntityName{"DM_GetEntityName", 7, {}, 1527};
constexpr CallDesc kGetEntityPath{"DM_GetEntityPath", 8, {}, 1542};
constexpr CallDesc kGetEntityInfo{"DM_GetEntityInfo", 9, {}, 1557};
constexpr CallDesc kGetEntityParent{"DM_GetEntityParent", 10, {}, 1572};
constexpr CallDesc kGetEntityFirstChild{"DM_GetEntityFirstChild", 11, {}, 1588};
constexpr CallDesc kGetEntityNextChild{"DM_GetEntityNextChild", 12, {}, 1604};
constexpr CallDesc kGetEntityFullName{"DM_GetEntityFullName", 20, {}, 1619};
constexpr CallDesc kEntityHidden{"DM_EntityHidden", 36, {}, 1633};
constexpr CallDesc kGetFirstParam{"DM_GetFirstParam", 18, {}, 1650};
constexpr CallDesc kGetNextParam{"DM_GetNextParam", 19, {}, 1666};
constexpr CallDesc kGetFirstDotParam{"DM_GetFirstDotParam", 30, {}, 1683};
constexpr CallDesc kGetNextDotParam{"DM_GetNextDotParam", 31, {}, 1698};
constexpr CallDesc kGetParamInfo{"DM_GetParamInfo", 15, {}, 1713};
constexpr CallDesc kIsParamEnum{"DM_IsParamEnum", 21, {}, 1728};
constexpr CallDesc kConvertIntValToStr{"DM_ConvertIntValToStr", 22, {}, 1744};
constexpr CallDesc kGetParamType{"DM_GetParamType", 23, {}, 1759};
constexpr CallDesc kGetParamMinMax{"DM_GetParamMinMax", 24, {}, 1775};
constexpr CallDesc kGetNextVal{"DM_GetNextVal", 35, {}, 1792};
constexpr CallDesc kGetParamConfirmationText{"DM_GetParamConfirmationText", 41, {}, 1809};
constexpr CallDesc kCanGet{"DM_CanGet", 37, {}, 1824};
constexpr CallDesc kCanSet{"DM_CanSet", 38, {}, 1838};
}  // namespace

extern "C" {

PAM_LIB_API int DM_EntityFind(const char *entity, int *handle) noexcept {
  return call(kEntityFind, Str{entity}, Out{4, handle});
}

PAM_LIB_API int DM_GetEntityName(int handle, char *name) noexcept {
  return call(kGetEntityName, Int{handle}, OutStr{DM_NAME_SIZE, name});
}

PAM_LIB_API int DM_GetEntityPath(int handle, char *path) noexcept {
  return call(kGetEntityPath, Int{handle}, OutStr{DM_TEXT_SIZE, path});
}

PAM_LIB_API int DM_GetEntityInfo(int handle, char *text) noexcept {
  return call(kGetEntityInfo, Int{handle}, OutStr{DM_TEXT_SIZE, text});
}

PAM_LIB_API int DM_GetEntityParent(int handle, int *parent) noexcept {
  return call(kGetEntityParent, Int{handle}, Out{4, parent});
}

PAM_LIB_API int DM_GetEntityFirstChild(int handle, int *child, int *result2) noexcept {
  return call(kGetEntityFirstChild, Int{handle}, Out{4, child}, Out{4, result2});
}

PAM_LIB_API int DM_GetEntityNextChild(int handle, int *child) noexcept {
  return call(kGetEntityNextChild, Int{handle}, Out{4, child});
}

PAM_LIB_API int DM_GetEntityFullName(int handle, char *name) noexcept {
  return call(kGetEntityFullName, Int{handle}, OutStr{DM_FULLNAME_SIZE, name});
}

PAM_LIB_API int DM_EntityHidden(int handle) noexcept {
  return call(kEntityHidden, Int{handle});
}

PAM_LIB_API int DM_GetFirstParam(int handle, char *name, int *result1, int *result2) noexcept {
  return call(kGetFirstParam, Int{handle}, OutStr{DM_NAME_SIZE, name}, Out{4, result1},
              Out{4, result2});
}

PAM_LIB_API int DM_GetNextParam(int handle, char *name, int *result) noexcept {
  return call(kGetNextParam, Int{handle}, OutStr{DM_NAME_SIZE, name}, Out{4, result});
}

PAM_LIB_API int DM_GetFirstDotParam(int handle, const char *select, char *name,
                                    int *result) noexcept {
  return call(kGetFirstDotParam, Int{handle}, Str{select}, OutStr{DM_NAME_SIZE, name},
              Out{4, result});
}

PAM_LIB_API int DM_GetNextDotParam(int handle, char *name) noexcept {
  return call(kGetNextDotParam, Int{handle}, OutStr{DM_NAME_SIZE, name});
}

PAM_LIB_API int DM_GetParamInfo(const char *name, char *text) noexcept {
  return call(kGetParamInfo, Str{name}, OutStr{DM_TEXT_SIZE, text});
}

PAM_LIB_API int DM_IsParamEnum(const char *name, int *result) noexcept {
  return call(kIsParamEnum, Str{name}, Out{4, result});
}

PAM_LIB_API int DM_ConvertIntValToStr(const char *name, int value, int len, char *text) noexcept {
  return call(kConvertIntValToStr, Str{name}, Int{value}, Int{len}, OutStr{len, text});
}

PAM_LIB_API int DM_GetParamType(const char *name, int *type) noexcept {
  return call(kGetParamType, Str{name}, Out{4, type});
}

PAM_LIB_API int DM_GetParamMinMax(const char *name, int *result1, int *result2,
                                  int *result3) noexcept {
  return call(kGetParamMinMax, Str{name}, Out{4, result1}, Out{4, result2}, Out{4, result3});
}

PAM_LIB_API int DM_GetNextVal(const char *name, int len, int *pos, char *text) noexcept {
  return call(kGetNextVal, Str{name}, Int{len}, InOut{4, pos}, OutStr{len, text});
}

PAM_LIB_API int DM_GetParamConfirmationText(const char *name, const char *arg, char *text,
                                            int len) noexcept {
  return call(kGetParamConfirmationText, Str{name}, Str{arg}, OutStr{len, text}, Int{len});
}

PAM_LIB_API int DM_CanGet(int arg, const char *name) noexcept {
  return call(kCanGet, Int{arg}, Str{name});
}

PAM_LIB_API int DM_CanSet(int arg, const char *name) noexcept {
  return call(kCanSet, Int{arg}, Str{name});
}

}  // extern "C"
