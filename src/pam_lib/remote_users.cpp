// Remote calls for users, privileges, the security log, traps and the
// daemon's texts. Three of them speak with a fixed privilege (the login
// sequence runs them before the user's own level is known), five refuse NULL
// arguments before anything is sent.
#include "pam_lib/remote_call.hpp"

namespace {
using namespace pl::remote;

constexpr int32_t kAuthPrivilege = 4;
constexpr int32_t kLoginPrivilege = 5;

constexpr CallDesc kAuthUser{"DM_AuthUser", 34, kAuthPrivilege, 1204};
constexpr CallDesc kLoginUser{"DM_LoginUser", 40, kLoginPrivilege, 1223};
constexpr CallDesc kGetPrivilegeLevel{"DM_GetPrivilegeLevel", 27, kAuthPrivilege, 1241};
constexpr CallDesc kSetPrivilege{"DM_SetPrivilege", 49, {}, 1258};
constexpr CallDesc kSetUserCred{"DM_SetUserCred", 60, {}, 1281,
                                {{"user == NULL", 1276}, {"cred == NULL", 1277}}};
constexpr CallDesc kGetUserCred{"DM_GetUserCred", 61, {}, 1304,
                                {{"user == NULL", 1299}, {"cred == NULL", 1300}}};
constexpr CallDesc kSecurityLogLine{"DM_SecurityLogLine", 57, {}, 1322,
                                    {{"line == NULL", 1319}}};
constexpr CallDesc kSecurityLogEntry{"DM_SecurityLogEntry", 59, {}, 1343,
                                     {{"user == NULL", 1338}, {"line == NULL", 1339}}};
constexpr CallDesc kSetClientIp{"DM_SetClientIp", 58, {}, 1361, {{"addr == NULL", 1358}}};
constexpr CallDesc kGetTrap{"SM_GetTrap", 43, {}, 1379};
constexpr CallDesc kGetTrapAndData{"SM_GetTrapAndData", 56, {}, 1398};
constexpr CallDesc kGetStrErr{"DM_GetStrErr", 44, {}, 1417};
constexpr CallDesc kGetHostName{"DM_GetHostName", 45, {}, 1434};
constexpr CallDesc kGetEnv{"DM_GetEnv", 39, {}, 1451};
}  // namespace

extern "C" {

PAM_LIB_API int DM_AuthUser(const char *user, const char *password, int *result1,
                            int *result2) noexcept {
  return call(kAuthUser, Str{user}, Str{password}, Out{4, result1}, Out{4, result2});
}

PAM_LIB_API int DM_LoginUser(const char *user) noexcept {
  return call(kLoginUser, Str{user});
}

PAM_LIB_API int DM_GetPrivilegeLevel(int gid, int *level) noexcept {
  return call(kGetPrivilegeLevel, Int{gid}, Out{4, level});
}

PAM_LIB_API int DM_SetPrivilege(int level) noexcept {
  return call(kSetPrivilege, Int{level});
}

PAM_LIB_API int DM_SetUserCred(const char *user, int len, const void *cred) noexcept {
  return guarded_call(kSetUserCred, {user, cred}, Str{user}, Int{len}, Bytes{len, cred});
}

PAM_LIB_API int DM_GetUserCred(const char *user, int len, void *cred) noexcept {
  return guarded_call(kGetUserCred, {user, cred}, Str{user}, Int{len}, Out{len, cred});
}

PAM_LIB_API int DM_SecurityLogLine(const char *line) noexcept {
  return guarded_call(kSecurityLogLine, {line}, Str{line});
}

PAM_LIB_API int DM_SecurityLogEntry(const char *user, const char *line) noexcept {
  return guarded_call(kSecurityLogEntry, {user, line}, Str{user}, Str{line});
}

PAM_LIB_API int DM_SetClientIp(const char *addr) noexcept {
  return guarded_call(kSetClientIp, {addr}, Str{addr});
}

PAM_LIB_API int SM_GetTrap(void *trap, void *data, int len) noexcept {
  return call(kGetTrap, Out{SM_TRAP_SIZE, trap}, Out{len, data}, Int{len});
}

PAM_LIB_API int SM_GetTrapAndData(void *trap, void *data1, int len1, void *data2,
                                  int len2) noexcept {
  return call(kGetTrapAndData, Out{SM_TRAP_SIZE, trap}, Out{len1, data1}, Int{len1},
              Out{len2, data2}, Int{len2});
}

PAM_LIB_API int DM_GetStrErr(int code, int len, char *text) noexcept {
  return call(kGetStrErr, Int{code}, Int{len}, OutStr{len, text});
}

PAM_LIB_API int DM_GetHostName(char *name, int len) noexcept {
  return call(kGetHostName, OutStr{len, name}, Int{len});
}

PAM_LIB_API int DM_GetEnv(const char *var, char *value) noexcept {
  return call(kGetEnv, Str{var}, OutStr{DM_TEXT_SIZE, value});
}

// Kept for hosts that poll the context quietly: nothing to fetch any more.
PAM_LIB_API int sDM_GetCtxQuiet(void) noexcept { return 0; }

}  // extern "C"
